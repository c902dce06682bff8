// The serial family.  Every function is a thin, stateless wrapper over one
// system call per byte; the only real work is turning line settings into
// terminal-interface flags in posix_com_open.

#include "serial/serial.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <sys/select.h>
#include <unistd.h>

namespace {

constexpr int32_t no_port = -1;

// The 17 rates a caller may ask for, and the speed constant of each.
struct Rate {
    int32_t baud;
    speed_t code;
};

// clang-format off
constexpr Rate rates[] = {
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
    const Rate *end = std::end(rates);
    const Rate *r =
        std::find_if(std::begin(rates), end, [baud](const Rate &x) { return x.baud == baud; });
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

// The checks run in a fixed order and before anything is opened, so a bad
// call never touches (or waits for) the device.
bool settings_valid(int32_t baud, int parity, int32_t databits, int32_t stopbits)
{
    speed_t unused = 0;
    return databits >= 5 && databits <= 8 && (stopbits == 1 || stopbits == 2) &&
           (parity == 'N' || parity == 'O' || parity == 'E') && speed_code(baud, &unused);
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

// A descriptor the poll may put in an fd_set without writing out of bounds.
bool pollable(int32_t fd)
{
    return fd >= 0 && fd < FD_SETSIZE;
}

} // namespace

extern "C" int32_t posix_com_open(const char *device, int32_t baud, char parity, int32_t databits,
                                  int32_t stopbits, uint32_t cflags)
{
    // toupper is only defined for unsigned char values and EOF; a byte
    // above 0x7F arrives here as a negative char.
    const int upper = toupper(static_cast<unsigned char>(parity));
    if (device == nullptr || !settings_valid(baud, upper, databits, stopbits))
        return no_port;

    speed_t code = 0;
    (void)speed_code(baud, &code);

    // O_NOCTTY: a process without a terminal must not take the line as its
    // keyboard (the line discipline would then send it signals on a break).
    const int fd = open(device, O_RDWR | O_NOCTTY);
    if (fd < 0)
        return no_port;

    termios t = port_record(databits, stopbits, upper, cflags);
    if (cfsetispeed(&t, code) == 0 && cfsetospeed(&t, code) == 0 && tcsetattr(fd, TCSANOW, &t) == 0)
        return fd;

    // A port whose settings were refused is no port; the caller never sees
    // the descriptor, so it is closed here.
    close(fd);
    return no_port;
}

extern "C" int32_t posix_com_write(int32_t fd, char ch)
{
    if (fd == no_port)
        return 0;
    return write(fd, &ch, 1) == 1 ? 1 : 0;
}

extern "C" int32_t posix_com_close(int32_t fd)
{
    if (fd == no_port)
        return 0;
    return close(fd);
}

extern "C" int32_t posix_com_dataready(int32_t fd)
{
    if (!pollable(fd))
        return 0;

    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(fd, &readable);
    timeval zero{};
    const int n = select(fd + 1, &readable, nullptr, nullptr, &zero);
    if (n == -1) {
        static const char message[] = "\nERROR:  dataready():  select() returned -1\n";
        (void)fwrite(message, 1, sizeof message - 1, stderr);
        return 0;
    }
    return n > 0 && FD_ISSET(fd, &readable) ? 1 : 0;
}

extern "C" int32_t posix_com_read(int32_t fd, char *buf)
{
    if (fd == no_port || buf == nullptr)
        return 0;
    return read(fd, buf, 1) == 1 ? 1 : 0;
}

extern "C" int32_t posix_com_write_string(int32_t fd, const char *str)
{
    if (str == nullptr || fd == no_port)
        return 0;
    int32_t count = 0;
    for (const char *p = str; *p != '\0'; ++p) {
        (void)posix_com_write(fd, *p);
        ++count;
    }
    return count;
}
