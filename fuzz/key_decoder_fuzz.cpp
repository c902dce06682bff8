// SPDX-License-Identifier: MIT
// Fuzzes the key decoder with whatever a terminal might send.  The console
// descriptor is pointed at a pipe that holds the whole input and whose
// writing end is closed, so the decoder can neither wait for more nor read
// anything but the input.

#include "console/console.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// What a pipe holds for certain without its writer waiting.
constexpr size_t max_input = 4096;

int unread(int fd)
{
    int n = 0;
    return ioctl(fd, FIONREAD, &n) == 0 ? n : -1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > max_input)
        return 0;
    int ends[2];
    if (pipe(ends) != 0)
        abort();
    if (size > 0 && write(ends[1], data, size) != static_cast<ssize_t>(size))
        abort();
    close(ends[1]);
    kbport = ends[0];

    int left = unread(kbport);
    while (left > 0) {
        // Bytes are waiting: the poll must say so.
        if (posix_kbhit() != 1)
            abort();
        signed char key = 0;
        const signed char extended = posix_getkey(&key);
        if (extended != 0 && extended != 1)
            abort();
        // Every key takes at least one byte: decoding always progresses.
        const int now = unread(kbport);
        if (now < 0 || now >= left)
            abort();
        left = now;
    }
    kbport = -1;
    close(ends[0]);
    return 0;
}
