// SPDX-License-Identifier: MIT
// A standard descriptor that came closed (radio >&-, or a launcher that
// closes it) would be the number the next open takes: a serial port, or the
// stand-in's pty, would become descriptor 1 or 2, and what the program
// prints would reach the device as commands.  Header only: radio and
// radio-sim share it without linking anything more.
#ifndef RADIO_POSIX_STANDARD_DESCRIPTORS_H
#define RADIO_POSIX_STANDARD_DESCRIPTORS_H

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

// Holds each closed standard descriptor with /dev/null, before anything
// else is opened.  False when one cannot be held.
inline bool standard_descriptors_held()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lowest free number: fd itself, since those below it are open.
        const int null = open("/dev/null", O_RDWR | O_NOCTTY);
        if (null == fd)
            continue;
        if (null != -1)
            (void)close(null);
        return false;
    }
    return true;
}

#endif
