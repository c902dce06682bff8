/* SPDX-License-Identifier: MIT */
// Turning the bytes a terminal sends for one key press into one key code,
// with no reads of its own: the caller feeds one byte at a time and says
// whether another byte followed it within the wait (key_reader.h, key_wait.h).
// Internal to the console family; posix_getkey drives it with the reads,
// the clock and the poll.
//
// The rules (a terminal writes a whole key at once, a person cannot type
// the next key within the wait, so only a byte that follows in time can
// continue one):
//   - a byte alone is that key; 127 (DEL) is 8;
//   - Escape with nothing following is the Escape key; Escape and a byte is
//     that byte (Alt+key), unchanged: Escape DEL is 127, not 8;
//   - Escape '[' and Escape 'O' with a byte following start a sequence:
//     parameter bytes up to a final byte from '@' to '~' or '$' (the rxvt
//     family's shifted keys), or up to where the bytes stop coming.  Its key
//     is the low 8 bits of its number (0 without one), the number held to
//     the 32-bit range first; after Escape 'O' with no parameters, the
//     application keypad's 'j'..'y' are '*' .. '9' and 'M' is Enter (13);
//   - Escape '[' '[' and one more byte is a Linux console function key: 0;
//   - Escape Escape '[' or 'O' and a sequence is that sequence's key (Alt
//     with a cursor or function key); Escape Escape and another byte is that
//     byte, and Escape Escape alone the Escape key.
// 8-bit bytes are keys of their own: a UTF-8 terminal sends them as text.
// A key needs this record only, however long its sequence.
#ifndef RADIO_CONSOLE_KEY_DECODER_H
#define RADIO_CONSOLE_KEY_DECODER_H

#include "console/sequence_number.h"

struct key_decoder {
    int state;  // where in a key the bytes so far have led
    int params; // 1 once a sequence has had a parameter byte
    struct sequence_number number;
};

// Makes d ready for the first byte of a key.
void key_decoder_start(struct key_decoder *d);

// Feeds the key's next byte; more is nonzero when another byte followed it
// within the wait.  Returns 1 when the key is complete, with its code in
// *key and in *extended 1 for a key from a sequence, else 0.  Returns 0
// when the key goes on with the next byte, which it does only when more is
// nonzero; so a byte that completes the key with more nonzero completes it
// whatever follows, and needs no wait.
int key_decoder_feed(struct key_decoder *d, unsigned char byte, int more, signed char *key,
                     signed char *extended);

// The key the bytes fed so far make when no more will come (the console
// went away in the middle of a key).
void key_decoder_finish(const struct key_decoder *d, signed char *key, signed char *extended);

#endif
