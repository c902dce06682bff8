// SPDX-License-Identifier: MIT
// The same from C++: the headers give C linkage.
#include "console/console.h"
#include "serial/serial.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <unistd.h>

int main()
{
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return 1;
    const int32_t port = posix_com_open(ptsname(master), 115200, 'N', 8, 1, CREAD);
    if (port < 0)
        return 2;
    if (posix_com_write_string(port, "ok") != 2)
        return 3;
    // Each byte was a write of its own, and may arrive by itself.
    std::string got;
    pollfd p{master, POLLIN, 0};
    char c = 0;
    while (got.size() < 2 && poll(&p, 1, 2000) == 1 && read(master, &c, 1) == 1)
        got += c;
    if (got != "ok")
        return 4;
    std::puts("consumer_cxx: ok");
    return posix_com_close(port);
}
