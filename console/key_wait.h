/* SPDX-License-Identifier: MIT */
// The wait: after a byte that leaves a key unfinished (an Escape, or a
// sequence without its final byte), the reader waits up to a bound for the
// next byte.  A terminal writes a whole key at once, but a slow serial line,
// a network or a busy machine can deliver it in pieces; a person cannot
// type the next key within the bound.  A byte that ends the key whatever
// follows (a plain first byte, a final byte) is never waited after.
// Internal to the console family; not installed.
#ifndef RADIO_CONSOLE_KEY_WAIT_H
#define RADIO_CONSOLE_KEY_WAIT_H

#include <termios.h>

// The wait, in milliseconds: the build's bound (RADIO_KEY_WAIT_MS), or four
// character times at the console's input speed when that is longer, as a
// UART decides that a burst has ended.  The input speed is the record's
// output speed where it is 0 ("the same"); console may be null (settings
// unknown): the bound alone.
int console_key_wait_ms(const struct termios *console);

#endif
