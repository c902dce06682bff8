// SPDX-License-Identifier: MIT
// Keys from the controlling terminal, terminal settings, and Sleep.

#include "console/console.h"

#include "console/key_mode.h"
#include "console/key_reader.h"
#include "console/signals.h"
#include "posix/errno_kept.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/select.h>
#include <unistd.h>

int32_t kbport = -1;

namespace {

// fd_set has FD_SETSIZE bits; FD_SET with anything else writes outside it.
bool pollable(int32_t fd)
{
    return fd >= 0 && fd < FD_SETSIZE;
}

[[noreturn]] void fail(const char *format)
{
    // The path is asked for afresh: the message names the terminal as the
    // platform names it now.
    (void)fprintf(stderr, format, ctermid(nullptr));
    exit(-1);
}

// Opens the controlling terminal into kbport and puts it into key mode.
// Leaves kbport at -1 when it cannot be opened or could not be polled.
void open_console()
{
    // O_NOCTTY: ctermid names the terminal we already have; it must never
    // make some other device our terminal.
    const int fd = open(ctermid(nullptr), O_RDONLY | O_NOCTTY);
    if (fd < 0)
        return;
    if (!pollable(fd)) {
        (void)close(fd);
        return;
    }
    kbport = fd;

    termios t{};
    if (tcgetattr(kbport, &t) != 0)
        fail("\nERROR:  unable to get tty attributes for %s\n");
    console_key_mode(&t);
    if (!console_apply_key_mode(&t))
        (void)fprintf(stderr, "\nERROR:  unable to set tty attributes for %s\n", ctermid(nullptr));
}

} // namespace

extern "C" const char *posix_console_name(void)
{
    return ctermid(nullptr);
}

extern "C" struct termios *posix_get_termsettings(const char *path)
{
    if (path == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    // O_NONBLOCK: this descriptor only reads settings, and must not wait for
    // the carrier of a line that has none.
    const int fd = open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return nullptr;
    auto *settings = static_cast<termios *>(malloc(sizeof(termios)));
    if (settings != nullptr && tcgetattr(fd, settings) != 0) {
        keeping_errno([settings] { free(settings); });
        settings = nullptr;
    }
    // Nothing was written through fd: a failing close loses nothing.
    keeping_errno([fd] { (void)close(fd); });
    return settings;
}

extern "C" int32_t posix_set_termsettings(const char *path, const struct termios *settings)
{
    if (path == nullptr || settings == nullptr) {
        errno = EINVAL;
        return 0;
    }
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return 0;
    const int32_t applied = tcsetattr(fd, TCSANOW, settings) == 0 ? 1 : 0;
    keeping_errno([fd] { (void)close(fd); });
    return applied;
}

extern "C" int32_t posix_kbhit(void)
{
    // Zero: the poll never waits.
    static timeval tvptr = {0, 0};

    if (kbport == -1) {
        open_console();
        if (kbport == -1)
            return 0;
        tvptr.tv_sec = 0;
        tvptr.tv_usec = 0;
    }
    if (!pollable(kbport))
        return 0;

    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(kbport, &readable);
    const int n = select(kbport + 1, &readable, nullptr, nullptr, &tvptr);
    if (n == -1) {
        // A signal that arrives during the poll says nothing about the
        // terminal: no key yet, not a failure.
        if (errno == EINTR)
            return 0;
        (void)fputs("\nERROR:  posix_kbhit():  select() returned -1\n", stderr);
        exit(-1);
    }
    return n > 0 && FD_ISSET(kbport, &readable) ? 1 : 0;
}

extern "C" int32_t posix_kbwait(int32_t timeout_ms)
{
    if (!pollable(kbport))
        return 0;
    return console_byte_within(timeout_ms) ? 1 : 0;
}

extern "C" int32_t posix_kbwait_hangup(int32_t fd, int32_t timeout_ms)
{
    if (!pollable(kbport))
        return 0;
    // poll passes over any negative handle: no port, nothing watched.
    return console_wait(timeout_ms, fd);
}

extern "C" signed char posix_getkey(signed char *key)
{
    return console_read_key(key, nullptr);
}

extern "C" int32_t Sleep(int32_t ms)
{
    // Unsigned: a large ms wraps instead of overflowing a signed product.
    return usleep(static_cast<useconds_t>(static_cast<uint32_t>(ms) * 1000U));
}
