/* Opens a pty's slave as a port with the layer, writes to it, and checks
 * that the master side reads what was written. */
#define _XOPEN_SOURCE 600
#include "console/console.h"
#include "serial/serial.h"

#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

int main(void)
{
    char got[8] = {0};
    struct pollfd p;
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return 1;
    const int32_t port = posix_com_open(ptsname(master), 9600, 'n', 8, 1, 0);
    if (port < 0)
        return 2;
    if (posix_com_write(port, 'o') != 1 || posix_com_write_string(port, "k") != 1)
        return 3;
    p.fd = master;
    p.events = POLLIN;
    if (poll(&p, 1, 2000) != 1 || read(master, got, 2) != 2 || got[0] != 'o' || got[1] != 'k')
        return 4;
    if (posix_com_close(port) != 0 || kbport != -1)
        return 5;
    puts("consumer_c: ok");
    return 0;
}
