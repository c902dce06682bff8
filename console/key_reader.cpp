// SPDX-License-Identifier: MIT
// One key from the console: its bytes read one at a time, and after a byte
// that leaves the key unfinished, the bounded wait for the next.

#include "console/key_reader.h"

#include "console/console.h"
#include "console/key_decoder.h"
#include "console/key_wait.h"
#include "console/signals.h"

#include <cerrno>
#include <poll.h>
#include <time.h>
#include <unistd.h>

namespace {

// The monotonic clock in microseconds.  The C library's: the console family
// needs no C++ runtime, so a C program links it with the C compiler alone.
int64_t now_us()
{
    timespec t{};
    (void)clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
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

} // namespace

console_wake console_wait(int32_t ms, int32_t watched)
{
    int64_t end = now_us() + static_cast<int64_t>(ms) * 1000;
    // No events asked of the watched descriptor: the kernel reports its
    // hang-up, error or closing whatever is asked, and bytes it receives
    // (a device that talks, a pty whose receiver is always on) must not
    // wake the caller.  poll passes over a negative descriptor.
    pollfd fds[2] = {{kbport, POLLIN, 0}, {watched, 0, 0}};
    console_resumed = 0;
    for (;;) {
        // Rounded up: a wait never ends before its time.
        const int64_t left = end - now_us();
        const int timeout = ms < 0 ? -1 : left > 0 ? static_cast<int>((left + 999) / 1000) : 0;
        const int n = poll(fds, 2, timeout);
        if (n > 0 && fds[1].revents != 0)
            return console_watched_hung_up;
        if (n > 0)
            return console_byte;
        if (n == 0 || errno != EINTR)
            return console_time_out;
        // Time stopped is not the key's: once the process runs on after
        // the wait's time ran out, the wait starts again in full, so that
        // a stop never splits a key whose later bytes a slow line delivers
        // after it.  A SIGCONT with time left changes nothing: SIGCONTs
        // without a stop must not hold a key back for ever.
        if (console_resumed != 0) {
            console_resumed = 0;
            if (now_us() >= end)
                end = now_us() + static_cast<int64_t>(ms) * 1000;
        }
    }
}

bool console_byte_within(int32_t ms)
{
    return console_wait(ms, -1) == console_byte;
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
        if (!console_byte_within(wait_ms)) {
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
