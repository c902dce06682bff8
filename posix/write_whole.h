// SPDX-License-Identifier: MIT
// A write(2) may take less than it was given (a pipe nearly full, a pty
// whose reader is slow) or be interrupted by a signal before it takes
// anything; a caller that must deliver every byte goes on until all are
// written.  Header only: radio's echo and the stand-in share it without
// radio linking anything else.
#ifndef RADIO_POSIX_WRITE_WHOLE_H
#define RADIO_POSIX_WRITE_WHOLE_H

#include <cerrno>
#include <cstddef>
#include <unistd.h>

// Writes all size bytes of data to fd.  False when a write failed (other
// than by a signal) or took nothing; errno then says why.
inline bool write_whole(int fd, const void *data, size_t size)
{
    const auto *bytes = static_cast<const char *>(data);
    while (size > 0) {
        const ssize_t n = write(fd, bytes, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

#endif
