/* SPDX-License-Identifier: MIT */
// How posix_getkey reads one key, open to this project's own tools: the key
// viewer (radio-sim --keys) shows the bytes of each key, the gap before
// each, and the wait that ended it, through the very reads and waits that
// radio makes.  Internal to the console family; not installed.
//
// The wait: after a byte that leaves a key unfinished (an Escape, or a
// sequence without its final byte), the reader waits up to a bound for the
// next byte.  A terminal writes a whole key at once, but a slow serial line,
// a network or a busy machine can deliver it in pieces; a person cannot
// type the next key within the bound.  A byte that ends the key whatever
// follows (a plain first byte, a final byte) is never waited after.
#ifndef RADIO_CONSOLE_KEY_READER_H
#define RADIO_CONSOLE_KEY_READER_H

#include <stddef.h>
#include <termios.h>

// The wait, in milliseconds: the build's bound (RADIO_KEY_WAIT_MS), or four
// character times at the console's input speed when that is longer, as a
// UART decides that a burst has ended.  The input speed is the record's
// output speed where it is 0 ("the same"); console may be null (settings
// unknown): the bound alone.
int console_key_wait_ms(const struct termios *console);

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

#endif
