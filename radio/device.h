// SPDX-License-Identifier: MIT
// radio's commands: each command key, the byte it sends, and the device's
// command line that byte raises (one bit each; space sends 0, no line).
// One table for radio, the device stand-in and the benchmark.  The tests
// keep their own literals: a check that read this table could not catch a
// wrong row.
#ifndef RADIO_RADIO_DEVICE_H
#define RADIO_RADIO_DEVICE_H

struct Command {
    signed char key;
    unsigned char byte;
    const char *line; // the command line's name; null for no line
};

// Tried in this order; every row that matches sends (no two share a key).
inline constexpr Command commands[] = {
    {'8', 0x20, "up"}, {'2', 0x10, "down"}, {'4', 0x08, "left"},  {'6', 0x04, "right"},
    {'9', 0x02, "9"},  {'7', 0x01, "7"},    {' ', 0x00, nullptr},
};

#endif
