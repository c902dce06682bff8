// SPDX-License-Identifier: MIT
// Keys from the controlling terminal, terminal settings, and Sleep.

#include "console/console.h"

#include "console/key_decoder.h"
#include "console/key_mode.h"
#include "console/key_reader.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/select.h>
#include <time.h>
#include <unistd.h>

int32_t kbport = -1;

namespace {

// The monotonic clock in microseconds.  The C library's: the console family
// needs no C++ runtime, so a C program links it with the C compiler alone.
int64_t now_us()
{
    timespec t{};
    (void)clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

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
    if (tcsetattr(kbport, TCSANOW, &t) != 0)
        (void)fprintf(stderr, "\nERROR:  unable to set tty attributes for %s\n", ctermid(nullptr));
}

// One byte from the console; a read that a signal interrupts is made again.
// Returns false when the console yields nothing: end of file or an error,
// which is how a hung-up terminal answers.
bool read_byte(unsigned char *byte)
{
    for (;;) {
        const ssize_t n = read(kbport, byte, 1);
        if (n == 1)
            return true;
        if (n == 0 || errno != EINTR)
            return false;
    }
}

// Whether a byte arrives on kbport within ms milliseconds (-1: no limit).
// A signal does not cut the wait short: it goes on for what is left of it.
// A console that has hung up or is in error counts as a byte: a read would
// not wait, and finds it gone.  A poll that fails otherwise is no byte.
bool byte_within(int32_t ms)
{
    const int64_t end = now_us() + static_cast<int64_t>(ms) * 1000;
    pollfd console = {kbport, POLLIN, 0};
    for (;;) {
        // Rounded up: a wait never ends before its time.
        const int64_t left = end - now_us();
        const int timeout = ms < 0 ? -1 : left > 0 ? static_cast<int>((left + 999) / 1000) : 0;
        const int n = poll(&console, 1, timeout);
        if (n >= 0)
            return n > 0;
        if (errno != EINTR)
            return false;
    }
}

// The wait for the console as it is set now; its speed may have been
// changed since key mode began.
int console_wait_ms()
{
    termios t{};
    return console_key_wait_ms(tcgetattr(kbport, &t) == 0 ? &t : nullptr);
}

// Adds a byte the key was read as to trace, if there is one; the clock is
// asked only then.
void note(key_trace *trace, unsigned char byte, int64_t *last)
{
    if (trace == nullptr)
        return;
    const int64_t now = now_us();
    if (trace->count < key_trace::capacity) {
        trace->bytes[trace->count] = byte;
        trace->gap_us[trace->count] = trace->count == 0 ? 0 : static_cast<long>(now - *last);
    }
    ++trace->count;
    *last = now;
}

// Closes a descriptor that only read or set settings, keeping errno as the
// call before it left it: a failure's reason must survive the clean-up.
void close_keeping_errno(int fd)
{
    const int why = errno;
    (void)close(fd);
    errno = why;
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
        const int why = errno;
        free(settings);
        errno = why;
        settings = nullptr;
    }
    // Nothing was written through fd: a failing close loses nothing.
    close_keeping_errno(fd);
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
    close_keeping_errno(fd);
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
    return byte_within(timeout_ms) ? 1 : 0;
}

signed char console_read_key(signed char *key, key_trace *trace)
{
    if (kbport < 0)
        return 0;
    if (trace != nullptr) {
        trace->count = 0;
        trace->waited_ms = 0;
    }

    unsigned char byte = 0;
    if (!read_byte(&byte))
        return -1;
    int64_t last = 0;
    note(trace, byte, &last);
    key_decoder decoder;
    key_decoder_start(&decoder);
    signed char code = 0;
    signed char extended = 0;
    int wait_ms = -1; // read from the console's settings when first needed
    for (;;) {
        // Asked as if another byte had come, the decoder says whether this
        // one ends the key whatever follows: then no wait is needed, so a
        // plain key costs its one read and nothing more.
        key_decoder next = decoder;
        if (key_decoder_feed(&next, byte, 1, &code, &extended) != 0)
            break;
        if (wait_ms < 0)
            wait_ms = console_wait_ms();
        if (!byte_within(wait_ms)) {
            // Told that nothing followed, the decoder ends the key here.
            (void)key_decoder_feed(&decoder, byte, 0, &code, &extended);
            if (trace != nullptr)
                trace->waited_ms = wait_ms;
            break;
        }
        decoder = next;
        // A console that goes away in the middle of a key leaves the key
        // its bytes so far make.
        if (!read_byte(&byte)) {
            key_decoder_finish(&decoder, &code, &extended);
            break;
        }
        note(trace, byte, &last);
    }
    *key = code;
    return extended;
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
