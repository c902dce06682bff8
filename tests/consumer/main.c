/* SPDX-License-Identifier: MIT */
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

/* Reads n bytes from fd, each within two seconds: the pty hands each
 * one-byte write on by itself. */
static int read_bytes(int fd, char *buf, int n)
{
    struct pollfd p;
    int got = 0;
    p.fd = fd;
    p.events = POLLIN;
    while (got < n && poll(&p, 1, 2000) == 1) {
        const ssize_t r = read(fd, buf + got, (size_t)(n - got));
        if (r <= 0)
            return 0;
        got += (int)r;
    }
    return got == n;
}

int main(void)
{
    char got[8] = {0};
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return 1;
    const int32_t port = posix_com_open(ptsname(master), 9600, 'n', 8, 1, 0);
    if (port < 0)
        return 2;
    if (posix_com_write(port, 'o') != 1 || posix_com_write_string(port, "k") != 1)
        return 3;
    if (!read_bytes(master, got, 2) || got[0] != 'o' || got[1] != 'k')
        return 4;
    if (posix_com_close(port) != 0 || kbport != -1)
        return 5;
    puts("consumer_c: ok");
    return 0;
}
