// SPDX-License-Identifier: MIT
#include "serial/line_record.h"

#include <algorithm>
#include <cctype>
#include <iterator>

namespace {

// The 17 rates a caller may ask for, and the speed constant of each, looked
// up by the caller's baud rate.
struct BaudCode {
    int32_t baud;
    speed_t code;
};

// clang-format off
constexpr BaudCode rates[] = {
    {50, B50},       {75, B75},       {110, B110},     {134, B134},
    {150, B150},     {200, B200},     {300, B300},     {600, B600},
    {1200, B1200},   {1800, B1800},   {2400, B2400},   {4800, B4800},
    {9600, B9600},   {19200, B19200}, {38400, B38400}, {57600, B57600},
    {115200, B115200},
};
// clang-format on

// Returns false for a rate outside the table (0 would hang the line up).
bool speed_code(int32_t baud, speed_t *code)
{
    const BaudCode *end = std::end(rates);
    const BaudCode *r =
        std::find_if(std::begin(rates), end, [baud](const BaudCode &x) { return x.baud == baud; });
    if (r == end)
        return false;
    *code = r->code;
    return true;
}

tcflag_t size_bits(int32_t databits)
{
    switch (databits) {
    case 5: return CS5;
    case 6: return CS6;
    case 7: return CS7;
    default: return CS8;
    }
}

tcflag_t parity_bits(int parity)
{
    switch (parity) {
    case 'E': return PARENB;
    case 'O': return PARENB | PARODD;
    default: return 0;
    }
}

// In this order; the speed last, since it also yields the speed's code.
bool settings_valid(int32_t baud, int parity, int32_t databits, int32_t stopbits, speed_t *code)
{
    return databits >= 5 && databits <= 8 && (stopbits == 1 || stopbits == 2) &&
           (parity == 'N' || parity == 'O' || parity == 'E') && speed_code(baud, code);
}

// The whole record is built here rather than read from the device, so the
// port never inherits a previous user's settings:
//
//   c_iflag  IGNPAR only  bytes with framing/parity errors are dropped, not
//                         delivered as garbage; no CR/NL mapping (a 0x0D
//                         command stays 0x0D), no XON/XOFF (0x11 and 0x13 are
//                         data, not flow control)
//   c_oflag  0            bytes leave exactly as written: no NL -> CR NL
//   c_cflag  size | stop bits | parity | cflags | CLOCAL
//                         CLOCAL: a three-wire cable has no carrier; without
//                         it reads would see hang-up and opens would wait.
//                         CREAD only when the caller asks: a sender-only
//                         port ignores line noise
//   c_lflag  IEXTEN only  no line editing, no echo back down the line, no
//                         signal characters
//   c_cc     all 0 but VMIN 1, VTIME 0
//                         a read waits for one byte and returns it at once,
//                         like any blocking descriptor; 0 disables every
//                         special character, and none applies anyway
//   c_line   0            the ordinary line discipline
termios port_record(int32_t databits, int32_t stopbits, int parity, uint32_t cflags)
{
    termios t{};
    t.c_iflag = IGNPAR;
    t.c_oflag = 0;
    t.c_cflag =
        size_bits(databits) | (stopbits == 2 ? CSTOPB : 0U) | parity_bits(parity) | cflags | CLOCAL;
    t.c_lflag = IEXTEN;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    return t;
}

} // namespace

bool serial_line_record(int32_t baud, char parity, int32_t databits, int32_t stopbits,
                        uint32_t cflags, termios *record)
{
    // toupper is only defined for unsigned char values and EOF; a byte
    // above 0x7F arrives here as a negative char.
    const int upper = toupper(static_cast<unsigned char>(parity));
    speed_t code = 0;
    if (!settings_valid(baud, upper, databits, stopbits, &code))
        return false;
    termios t = port_record(databits, stopbits, upper, cflags);
    if (cfsetispeed(&t, code) != 0 || cfsetospeed(&t, code) != 0)
        return false;
    *record = t;
    return true;
}

bool serial_line_kept(const termios *got, const termios *asked)
{
    const tcflag_t frame = CSIZE | CSTOPB | PARENB | PARODD;
    return (got->c_cflag & frame) == (asked->c_cflag & frame) &&
           cfgetospeed(got) == cfgetospeed(asked) && cfgetispeed(got) == cfgetispeed(asked);
}
