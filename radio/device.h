// SPDX-License-Identifier: MIT
// The device at the far end of radio's serial line, as radio knows it: the
// port it lies on, the line's settings, the command each key sends and the
// device's command line that byte raises (one bit each; space sends 0, no
// line), and the key that ends radio.  One header for radio, the device
// stand-in, the key viewer and the benchmark.  The tests keep their own
// literals: a check that read this header could not catch a wrong row.
#ifndef RADIO_RADIO_DEVICE_H
#define RADIO_RADIO_DEVICE_H

#include <cstdint>

// The port is chosen when radio is built (CMake's RADIO_PORT), and only
// there: a default written here too could silently disagree with it.
#ifndef RADIO_PORT
#error "RADIO_PORT names the port radio drives; the build defines it"
#endif
inline constexpr char device_port[] = RADIO_PORT;

// The line as the device listens: 4800 baud, 8 data bits, no parity, 1
// stop bit, in posix_com_open's order.
struct Line {
    int32_t baud;
    char parity;
    int32_t data_bits;
    int32_t stop_bits;
};
inline constexpr Line device_line = {4800, 'N', 8, 1};

// Escape ends radio (and the key viewer).
inline constexpr signed char end_key = 27;

struct Command {
    signed char key;
    unsigned char byte;
    const char *line; // the command line's name; null for no line
};

inline constexpr Command commands[] = {
    {'8', 0x20, "up"}, {'2', 0x10, "down"}, {'4', 0x08, "left"},  {'6', 0x04, "right"},
    {'9', 0x02, "9"},  {'7', 0x01, "7"},    {' ', 0x00, nullptr},
};

// The lookups are loops, not std::find_if, which is constexpr only from
// C++20: the rows are checked at compile time below.

// The command a key sends, or null.  One row a key: a key that sent two
// bytes would be two commands for one press.
inline constexpr const Command *command_for_key(signed char key)
{
    for (const Command &c : commands) {
        // cppcheck-suppress useStlAlgorithm
        if (c.key == key)
            return &c;
    }
    return nullptr;
}

// The command a byte on the line stands for, or null.
inline constexpr const Command *command_for_byte(unsigned char byte)
{
    for (const Command &c : commands) {
        // cppcheck-suppress useStlAlgorithm
        if (c.byte == byte)
            return &c;
    }
    return nullptr;
}

namespace device_checks {
// Every key and every byte is in one row only, and the end key sends
// nothing: otherwise the lookups above would hide a row.
constexpr bool rows_distinct()
{
    for (const Command &c : commands) {
        // cppcheck-suppress useStlAlgorithm
        if (command_for_key(c.key) != &c || command_for_byte(c.byte) != &c)
            return false;
    }
    return command_for_key(end_key) == nullptr;
}
static_assert(rows_distinct(), "two rows share a key or a byte, or the end key sends a command");
} // namespace device_checks

#endif
