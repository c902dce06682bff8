// SPDX-License-Identifier: MIT
#include "console/sequence_number.h"

#include <cstdint>

namespace {

enum Phase { leading_space, in_number, finished };

// Past this the result is the same saturated value whatever digits follow.
constexpr uint32_t magnitude_cap = UINT32_C(2147483648);

// The C locale's white space, as atoi skips it.
bool is_space(unsigned char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

bool is_digit(unsigned char c)
{
    return c >= '0' && c <= '9';
}

void add_digit(sequence_number *n, unsigned char c)
{
    const uint32_t digit = c - static_cast<uint32_t>('0');
    const uint64_t next = static_cast<uint64_t>(n->magnitude) * 10U + digit;
    n->magnitude = next > magnitude_cap ? magnitude_cap : static_cast<uint32_t>(next);
}

} // namespace

void sequence_number_start(sequence_number *n)
{
    n->phase = leading_space;
    n->negative = 0;
    n->magnitude = 0;
}

void sequence_number_feed(sequence_number *n, unsigned char byte)
{
    switch (n->phase) {
    case leading_space:
        if (is_space(byte))
            return;
        if (byte == '+' || byte == '-') {
            n->negative = byte == '-' ? 1 : 0;
            n->phase = in_number;
            return;
        }
        [[fallthrough]];
    case in_number:
        if (is_digit(byte)) {
            add_digit(n, byte);
            n->phase = in_number;
        } else {
            n->phase = finished;
        }
        return;
    default: return;
    }
}

int32_t sequence_number_value(const sequence_number *n)
{
    if (n->negative != 0) {
        if (n->magnitude >= magnitude_cap)
            return INT32_MIN;
        return -static_cast<int32_t>(n->magnitude);
    }
    if (n->magnitude >= magnitude_cap)
        return INT32_MAX;
    return static_cast<int32_t>(n->magnitude);
}
