// SPDX-License-Identifier: MIT
// Clean-up after a failed call must not change errno: the caller asks errno
// why the call failed, and a close or free that succeeds, or fails for a
// reason of its own, would answer for it.  Header only, so that the
// families share it without depending on each other or on a C++ runtime.
#ifndef RADIO_POSIX_ERRNO_KEPT_H
#define RADIO_POSIX_ERRNO_KEPT_H

#include <cerrno>

// Runs clean_up, then gives errno back the value it had before.
template <typename CleanUp> void keeping_errno(CleanUp clean_up)
{
    const int why = errno;
    clean_up();
    errno = why;
}

#endif
