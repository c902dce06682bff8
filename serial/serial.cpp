// SPDX-License-Identifier: MIT
// The serial family.  Every function is a thin, stateless wrapper over one
// system call per byte; the only real work is turning line settings into
// terminal-interface flags, which line_record.cpp does.

#include "serial/serial.h"

#include "posix/errno_kept.h"
#include "serial/line_record.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

constexpr int32_t no_port = -1;

// A pseudo-terminal slave, told by its device number: a pty has no line
// and forces 8 bits without parity, so what it keeps says nothing about a
// device at the far end.  Unix 98 slaves use majors 136..143, the old BSD
// ones major 3.
bool is_pty(int fd)
{
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode))
        return false;
    const unsigned int m = major(st.st_rdev);
    return (m >= 136 && m <= 143) || m == 3;
}

// Whether a pty holds the record that was asked for, apart from what a pty
// forces: the receiver always on, 8 bits, no parity.  What it keeps of the
// frame says nothing about a device at the far end, but everything else
// must be as asked.
bool pty_kept(const termios &got, const termios &asked)
{
    const tcflag_t forced = CREAD | CSIZE | PARENB | PARODD;
    return got.c_iflag == asked.c_iflag && got.c_oflag == asked.c_oflag &&
           got.c_lflag == asked.c_lflag && (got.c_cflag & ~forced) == (asked.c_cflag & ~forced) &&
           cfgetospeed(&got) == cfgetospeed(&asked) && cfgetispeed(&got) == cfgetispeed(&asked) &&
           memcmp(got.c_cc, asked.c_cc, sizeof got.c_cc) == 0;
}

// Applies the port's record and reads it back; true when the line holds
// it, else false with errno set (EINVAL for a record not kept).  On a pty
// the C library reads the record back itself and reports EINVAL when the
// receiver or parity differ, although everything else was applied; the
// read-back here decides instead.  Without that a pty could be opened as a
// port only while its record still differed from ours: the second run of
// a program on the same virtual port would fail.
bool apply(int fd, const termios &asked)
{
    const bool pty = is_pty(fd);
    if (tcsetattr(fd, TCSANOW, &asked) != 0 && !(pty && errno == EINVAL))
        return false;
    termios got{};
    if (tcgetattr(fd, &got) != 0)
        return false;
    if (pty ? pty_kept(got, asked) : serial_line_kept(&got, &asked))
        return true;
    errno = EINVAL;
    return false;
}

// A descriptor the poll may put in an fd_set without writing out of bounds.
bool pollable(int32_t fd)
{
    return fd >= 0 && fd < FD_SETSIZE;
}

} // namespace

namespace {

// posix_com_open and posix_com_open_nowait: how the open may wait is the
// only difference (open_flags).
int32_t open_port(const char *device, int32_t baud, char parity, int32_t databits, int32_t stopbits,
                  uint32_t cflags, int open_flags)
{
    // The record is built, and the arguments checked, before anything is
    // opened: a bad call never touches (or waits for) the device.
    termios t{};
    if (device == nullptr || !serial_line_record(baud, parity, databits, stopbits, cflags, &t)) {
        errno = EINVAL;
        return no_port;
    }

    // O_NOCTTY: a process without a terminal must not take the line as its
    // keyboard (the line discipline would then send it signals on a break).
    const int fd = open(device, O_RDWR | O_NOCTTY | open_flags);
    if (fd < 0)
        return no_port;

    if (apply(fd, t))
        return fd;

    // A port whose settings were refused, or not kept, is no port; the
    // caller never sees the descriptor, so it is closed here, and errno
    // still says why.
    keeping_errno([fd] { (void)close(fd); });
    return no_port;
}

} // namespace

extern "C" int32_t posix_com_open(const char *device, int32_t baud, char parity, int32_t databits,
                                  int32_t stopbits, uint32_t cflags)
{
    return open_port(device, baud, parity, databits, stopbits, cflags, 0);
}

extern "C" int32_t posix_com_open_nowait(const char *device, int32_t baud, char parity,
                                         int32_t databits, int32_t stopbits, uint32_t cflags)
{
    // O_NONBLOCK makes the open itself return at once, carrier or not; the
    // record then sets CLOCAL, so that nothing waits for carrier after it,
    // and the handle waits as posix_com_open's does.
    const int32_t fd = open_port(device, baud, parity, databits, stopbits, cflags, O_NONBLOCK);
    if (fd == no_port)
        return no_port;
    const int flags = fcntl(fd, F_GETFL);
    if (flags != -1 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0)
        return fd;
    keeping_errno([fd] { (void)close(fd); });
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
    if (fd == no_port)
        return 0;
    if (!pollable(fd)) {
        errno = EINVAL;
        return 0;
    }

    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(fd, &readable);
    timeval zero{};
    const int n = select(fd + 1, &readable, nullptr, nullptr, &zero);
    if (n == -1) {
        static const char message[] = "\nERROR:  dataready():  select() returned -1\n";
        keeping_errno([] { (void)fwrite(message, 1, sizeof message - 1, stderr); });
        return 0;
    }
    return n > 0 && FD_ISSET(fd, &readable) ? 1 : 0;
}

extern "C" int32_t posix_com_read(int32_t fd, char *buf)
{
    if (fd == no_port)
        return 0;
    if (buf == nullptr) {
        errno = EINVAL;
        return 0;
    }
    return read(fd, buf, 1) == 1 ? 1 : 0;
}

extern "C" int32_t posix_com_write_string(int32_t fd, const char *str)
{
    if (fd == no_port)
        return 0;
    if (str == nullptr) {
        errno = EINVAL;
        return 0;
    }
    int32_t count = 0;
    for (const char *p = str; *p != '\0'; ++p) {
        (void)posix_com_write(fd, *p);
        ++count;
    }
    return count;
}
