// SPDX-License-Identifier: MIT
#include "console/key_wait.h"

#include <algorithm>
#include <iterator>

#ifndef RADIO_KEY_WAIT_MS
#define RADIO_KEY_WAIT_MS 100
#endif

namespace {

// The line speeds at which four characters take longer than 1 ms; at
// 38400 baud and above, no bound worth building is that short.  Looked up
// by the record's speed code (serial/line_record.cpp's table goes the other
// way, from a caller's baud rate; the console family has its own, since it
// must not depend on the serial one).
struct CodeBaud {
    speed_t code;
    int baud;
};
constexpr CodeBaud slow_rates[] = {
    {B50, 50},     {B75, 75},     {B110, 110},   {B134, 134},     {B150, 150},
    {B200, 200},   {B300, 300},   {B600, 600},   {B1200, 1200},   {B1800, 1800},
    {B2400, 2400}, {B4800, 4800}, {B9600, 9600}, {B19200, 19200},
};

// Four characters of ten bits (start, eight data bits, stop), rounded up:
// at 150 baud, 267 ms.
int four_characters_ms(speed_t code)
{
    const CodeBaud *r = std::find_if(std::begin(slow_rates), std::end(slow_rates),
                                     [code](const CodeBaud &x) { return x.code == code; });
    return r == std::end(slow_rates) ? 0 : (40000 + r->baud - 1) / r->baud;
}

} // namespace

int console_key_wait_ms(const struct termios *console)
{
    constexpr int bound = RADIO_KEY_WAIT_MS;
    static_assert(bound > 0, "RADIO_KEY_WAIT_MS must be a positive number of milliseconds");
    if (console == nullptr)
        return bound;
    speed_t in = cfgetispeed(console);
    if (in == B0)
        in = cfgetospeed(console);
    const int line = four_characters_ms(in);
    return line > bound ? line : bound;
}
