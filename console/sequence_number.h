/* SPDX-License-Identifier: MIT */
// The number inside a key's escape sequence, converted byte by byte as the
// bytes arrive, so that a sequence of any length needs no more memory than
// this record.  The rule is the one a C atoi follows where int is 32 bits:
// leading white space skipped, an optional sign, decimal digits up to the
// first other byte, 0 when there is no number, and a value beyond the 32-bit
// range held at the nearest end of that range.
#ifndef RADIO_CONSOLE_SEQUENCE_NUMBER_H
#define RADIO_CONSOLE_SEQUENCE_NUMBER_H

#include <stdint.h>

struct sequence_number {
    int phase;          // spaces, then sign and digits, then the rest
    int negative;       // 1 after a '-'
    uint32_t magnitude; // held at 2^31 once past it: enough to saturate
};

void sequence_number_start(struct sequence_number *n);
void sequence_number_feed(struct sequence_number *n, unsigned char byte);
int32_t sequence_number_value(const struct sequence_number *n);

#endif
