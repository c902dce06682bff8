/* SPDX-License-Identifier: MIT */
// How posix_getkey reads one key, open to this project's own tools: the key
// viewer (radio-sim --keys) shows the bytes of each key, the gap before
// each, and the wait that ended it, through the very reads and waits that
// radio makes.  The wait itself is key_wait.h's.  Internal to the console
// family; not installed.
#ifndef RADIO_CONSOLE_KEY_READER_H
#define RADIO_CONSOLE_KEY_READER_H

#include <stddef.h>
#include <stdint.h>

// What one key was made of.
struct key_trace {
    enum { capacity = 32 };
    unsigned char bytes[capacity]; // the key's first bytes
    long gap_us[capacity];         // before each byte, since the one before it (0 for the first)
    size_t count;                  // all bytes of the key, also those past capacity
    int waited_ms;                 // the wait after the last byte when it ended the key, else 0
};

// posix_getkey, filling *trace (when not null) with the key's bytes.
signed char console_read_key(signed char *key, struct key_trace *trace);

// What ended a wait on the console.
enum console_wake { console_time_out = 0, console_byte = 1, console_watched_hung_up = 2 };

// Waits until a byte arrives on kbport, or watched hangs up (it is watched
// for nothing else; -1: not watched), or ms milliseconds have passed (-1:
// no limit).  A signal does not cut the wait short: it goes on for what is
// left of it.  A console that has hung up or is in error counts as a byte:
// a read would not wait, and finds it gone.  A watched descriptor's hang-up
// comes first when both are there.  A poll that fails otherwise is a time-out.
console_wake console_wait(int32_t ms, int32_t watched);

// Whether a byte arrives on kbport within ms milliseconds: console_wait
// with nothing else watched.
bool console_byte_within(int32_t ms);

#endif
