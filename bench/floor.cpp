// SPDX-License-Identifier: MIT
// The benchmark's floor: the least a key-to-line program can do.  The
// console raw, then one blocking one-byte read from it and one one-byte
// write to the port per key.  What it costs is what the harness costs.

#include <cstdio>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    const char *path = argc > 1 ? argv[1] : "/dev/ttyS0";
    const int port = open(path, O_RDWR | O_NOCTTY);
    termios t{};
    if (port < 0 || tcgetattr(port, &t) != 0)
        return 1;
    cfmakeraw(&t);
    cfsetspeed(&t, B4800);
    termios console{};
    if (tcsetattr(port, TCSANOW, &t) != 0 || tcgetattr(STDIN_FILENO, &console) != 0)
        return 1;
    cfmakeraw(&console);
    if (tcsetattr(STDIN_FILENO, TCSANOW, &console) != 0)
        return 1;
    char c = 0;
    while (read(STDIN_FILENO, &c, 1) == 1) {
        if (write(port, &c, 1) != 1)
            return 1;
    }
    return 0;
}
