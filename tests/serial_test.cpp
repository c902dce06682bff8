// SPDX-License-Identifier: MIT
// The serial family on real pseudo-terminals, regular files, pipes and
// socket pairs.

#include "harness/harness.h"
#include "serial/serial.h"

#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>

namespace {

using sandbox::Fd;

struct PortSettings {
    int32_t baud;
    char parity;
    int32_t databits;
    int32_t stopbits;
    uint32_t cflags;
};

// The settings the pty holds after posix_com_open with these arguments.
termios opened(const sandbox::Pty &pty, const PortSettings &s, Fd *port)
{
    port->reset(
        posix_com_open(pty.slave.c_str(), s.baud, s.parity, s.databits, s.stopbits, s.cflags));
    termios t{};
    EXPECT_GE(port->get(), 0);
    EXPECT_EQ(0, tcgetattr(pty.master.get(), &t));
    return t;
}

// Watches a path for opens, so a test can prove a call never touched it.
class OpenWatch {
public:
    explicit OpenWatch(const std::string &path) : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
    {
        EXPECT_GE(inotify_add_watch(fd_.get(), path.c_str(), IN_OPEN), 0);
    }
    // Whether an open was seen since the last call.
    bool opened()
    {
        pollfd p = {fd_.get(), POLLIN, 0};
        if (poll(&p, 1, 20) <= 0)
            return false;
        char events[4096];
        while (read(fd_.get(), events, sizeof events) > 0) {
        }
        return true;
    }

private:
    Fd fd_;
};

std::string temp_file()
{
    char name[] = "/tmp/radio-serial-test.XXXXXX";
    Fd fd(mkstemp(name));
    EXPECT_TRUE(fd);
    return name;
}

TEST(SerialOpen, GivesThePortTheWholeRecordForRadiosLine)
{
    auto pty = sandbox::open_pty();
    ASSERT_TRUE(pty);
    Fd port;
    const termios t = opened(*pty, {4800, 'N', 8, 1, 0}, &port);
    EXPECT_EQ(B4800, cfgetospeed(&t));
    EXPECT_EQ(B4800, cfgetispeed(&t));
    EXPECT_EQ(CS8 | CLOCAL | B4800, t.c_cflag & ~CREAD); // a pty forces CREAD
    EXPECT_EQ(static_cast<tcflag_t>(IGNPAR), t.c_iflag);
    EXPECT_EQ(0U, t.c_oflag);
    EXPECT_EQ(static_cast<tcflag_t>(IEXTEN), t.c_lflag);
    EXPECT_EQ(1, t.c_cc[VMIN]);
    EXPECT_EQ(0, t.c_cc[VTIME]);
}

TEST(SerialOpen, APtyStandsInForAPortInAnyFrame)
{
    // A pty keeps 8 bits without parity whatever it is asked; it is no line,
    // so that is no refusal.
    auto pty = sandbox::open_pty();
    ASSERT_TRUE(pty);
    Fd port(posix_com_open(pty->slave.c_str(), 300, 'E', 5, 2, 0));
    EXPECT_TRUE(port);
}

TEST(SerialOpen, APtyOpensAgainWithTheRecordItAlreadyHolds)
{
    // A virtual port is opened by one run of a program after another; the
    // pty then already holds the record, apart from the receiver it forces.
    auto pty = sandbox::open_pty();
    ASSERT_TRUE(pty);
    for (const PortSettings s :
         {PortSettings{4800, 'N', 8, 1, 0}, PortSettings{4800, 'N', 8, 1, 0},
          PortSettings{300, 'E', 7, 2, CREAD}, PortSettings{300, 'E', 7, 2, 0}}) {
        Fd port;
        const termios t = opened(*pty, s, &port);
        EXPECT_EQ(cfgetospeed(&t), s.baud == 300 ? B300 : B4800);
    }
}

bool accepted_parity(int p)
{
    return p == 'N' || p == 'O' || p == 'E' || p == 'n' || p == 'o' || p == 'e';
}

bool accepted_speed(int32_t b)
{
    const std::set<int32_t> rates = {50,   75,   110,  134,  150,   200,   300,   600,   1200,
                                     1800, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
    return rates.count(b) != 0;
}

TEST(SerialOpen, EveryRejectedCombinationFailsWithoutOpeningTheDevice)
{
    // A regular file stands in for the device: any open of it shows in the
    // watch, and it is no terminal, so an accepted call fails after the open.
    const std::string file = temp_file();
    OpenWatch watch(file);
    const int32_t speeds[] = {0,   -1,   50,     75,     110,       134,      135,
                              150, 4800, 115200, 230400, INT32_MIN, INT32_MAX};
    long rejected = 0;
    for (int parity = 0; parity <= 255; ++parity) {
        for (int32_t databits = -1; databits <= 10; ++databits) {
            for (int32_t stopbits = -1; stopbits <= 3; ++stopbits) {
                for (const int32_t baud : speeds) {
                    const bool ok = accepted_parity(parity) && databits >= 5 && databits <= 8 &&
                                    (stopbits == 1 || stopbits == 2) && accepted_speed(baud);
                    if (ok)
                        continue;
                    ++rejected;
                    ASSERT_EQ(-1, posix_com_open(file.c_str(), baud, static_cast<char>(parity),
                                                 databits, stopbits, 0));
                }
            }
        }
    }
    EXPECT_EQ(256 * 12 * 5 * 13 - 6 * 4 * 2 * 7, rejected); // all but the accepted ones
    EXPECT_FALSE(watch.opened());
    // The watch itself works: every accepted parity letter reaches the open.
    for (const char p : {'N', 'O', 'E', 'n', 'o', 'e'}) {
        EXPECT_EQ(-1, posix_com_open(file.c_str(), 134, p, 5, 2, 0));
        EXPECT_TRUE(watch.opened()) << p;
    }
    unlink(file.c_str());
}

TEST(SerialOpen, APathWithoutPermissionGivesEacces)
{
    // Root may open anything: as root, the open is tried as nobody.
    const std::string file = temp_file();
    ASSERT_EQ(0, chmod(file.c_str(), 0600));
    sandbox::Child child = sandbox::Child::run([&] {
        const bool root = getuid() == 0;
        if (root && (setgid(65534) != 0 || setuid(65534) != 0))
            return 2;
        if (!root && chmod(file.c_str(), 0) != 0)
            return 3;
        errno = 0;
        const int32_t port = posix_com_open(file.c_str(), 4800, 'N', 8, 1, 0);
        return port == -1 && errno == EACCES ? 0 : 1;
    });
    const auto status = child.wait_for(std::chrono::seconds(5));
    unlink(file.c_str());
    ASSERT_TRUE(status);
    EXPECT_EQ(0, sandbox::shell_status(*status));
}

TEST(SerialOpen, NeverBecomesTheControllingTerminal)
{
    // Taken, a break on the line would send the caller signals.
    auto pty = sandbox::open_pty();
    ASSERT_TRUE(pty);
    const std::string slave = pty->slave;
    EXPECT_TRUE(harness::takes_no_terminal(
        [&] { return posix_com_open(slave.c_str(), 4800, 'N', 8, 1, 0) >= 0; }));
}

TEST(SerialWrite, OneByteArrivesAndFailuresReportZero)
{
    auto pty = sandbox::open_pty();
    ASSERT_TRUE(pty);
    Fd port(posix_com_open(pty->slave.c_str(), 4800, 'N', 8, 1, 0));
    ASSERT_TRUE(port);
    EXPECT_EQ(1, posix_com_write(port.get(), '\0'));
    EXPECT_EQ(1, posix_com_write(port.get(), '\n')); // no output processing
    std::string got;
    harness::read_until(
        pty->master.get(), &got, [](const std::string &s) { return s.size() >= 2; },
        std::chrono::seconds(2));
    EXPECT_EQ(std::string("\0\n", 2), got);

    EXPECT_EQ(0, posix_com_write(-1, 'x'));
    Fd readonly(open("/dev/null", O_RDONLY | O_CLOEXEC));
    EXPECT_EQ(0, posix_com_write(readonly.get(), 'x'));
}

TEST(SerialClose, PassesOnCloseAndIgnoresNoPort)
{
    EXPECT_EQ(0, posix_com_close(-1));
    const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(0, posix_com_close(fd));
    EXPECT_EQ(-1, posix_com_close(fd));
}

TEST(SerialInput, DatareadyAndReadOnAPort)
{
    auto pty = sandbox::open_pty();
    ASSERT_TRUE(pty);
    Fd port(posix_com_open(pty->slave.c_str(), 4800, 'N', 8, 1, CREAD));
    ASSERT_TRUE(port);

    // Nothing is written until it returns, so a poll that waited would wait
    // for ever; the bound only turns that into a failure.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(0, posix_com_dataready(port.get()));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));

    ASSERT_TRUE(sandbox::write_all(pty->master.get(), "\x41"));
    pollfd p = {port.get(), POLLIN, 0};
    ASSERT_EQ(1, poll(&p, 1, 2000)); // the pty hands bytes on asynchronously
    EXPECT_EQ(1, posix_com_dataready(port.get()));
    EXPECT_EQ(1, posix_com_dataready(port.get())); // polling takes nothing
    char byte = 0;
    EXPECT_EQ(1, posix_com_read(port.get(), &byte));
    EXPECT_EQ('\x41', byte);
    EXPECT_EQ(0, posix_com_dataready(port.get()));
}

TEST(SerialInput, ReadReportsZeroForEndOfFileNoPortAndNoBuffer)
{
    int ends[2];
    ASSERT_EQ(0, pipe2(ends, O_CLOEXEC));
    Fd in(ends[0]);
    ASSERT_EQ(1, write(ends[1], "x", 1));
    EXPECT_EQ(0, posix_com_read(in.get(), nullptr)); // nothing read, nothing written
    close(ends[1]);
    char byte = 'k';
    EXPECT_EQ(1, posix_com_read(in.get(), &byte));
    EXPECT_EQ('x', byte);
    byte = 'k';
    EXPECT_EQ(1, posix_com_dataready(in.get())); // end of file is readable
    EXPECT_EQ(0, posix_com_read(in.get(), &byte));
    EXPECT_EQ(0, posix_com_read(-1, &byte));
    EXPECT_EQ('k', byte);
}

TEST(SerialInput, HandlesOutsideThePollableRangeAreNoPort)
{
    for (const int32_t fd : {-1, -2, INT32_MIN, FD_SETSIZE, FD_SETSIZE + 1, INT32_MAX})
        EXPECT_EQ(0, posix_com_dataready(fd)) << fd;
}

TEST(SerialInput, AFailingPollSaysSoAndReportsZero)
{
    // A closed descriptor below FD_SETSIZE: select fails with EBADF.
    testing::internal::CaptureStderr();
    const int fd = open("/dev/null", O_RDONLY);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(0, posix_com_dataready(fd));
    EXPECT_EQ("\nERROR:  dataready():  select() returned -1\n",
              testing::internal::GetCapturedStderr());
}

// A packet socket pair: each write arrives as a message of its own, so the
// reading end counts writes, not bytes.
struct Packets {
    Fd out;
    Fd in;
};

Packets packet_pair()
{
    int ends[2];
    EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends));
    return {Fd(ends[0]), Fd(ends[1])};
}

// The next message, or "" when none is waiting.
std::string next_message(const Packets &p)
{
    char buf[16];
    const ssize_t n = recv(p.in.get(), buf, sizeof buf, MSG_DONTWAIT);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
}

TEST(SerialString, EachByteIsOneWriteInOrder)
{
    const Packets p = packet_pair();
    EXPECT_EQ(3, posix_com_write_string(p.out.get(), "8\x01 "));
    EXPECT_EQ("8", next_message(p));
    EXPECT_EQ("\x01", next_message(p));
    EXPECT_EQ(" ", next_message(p));
    EXPECT_EQ("", next_message(p));
}

TEST(SerialString, CountsEveryByteEvenWhenEveryWriteFails)
{
    Fd readonly(open("/dev/null", O_RDONLY | O_CLOEXEC));
    EXPECT_EQ(3, posix_com_write_string(readonly.get(), "abc"));
}

TEST(SerialString, EmptyNullAndNoPortSendNothing)
{
    const Packets p = packet_pair();
    EXPECT_EQ(0, posix_com_write_string(p.out.get(), ""));
    EXPECT_EQ(0, posix_com_write_string(p.out.get(), nullptr));
    EXPECT_EQ(0, posix_com_write_string(-1, "abc"));
    EXPECT_EQ("", next_message(p));
}

} // namespace
