// SPDX-License-Identifier: MIT
// Every failure path of the layer gives its documented result and leaves
// the process with exactly the descriptors it had.

#include "console/console.h"
#include "harness/harness.h"
#include "serial/serial.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <utility>

namespace {

// Counts the open descriptors when made and again when let go.
class NoLeak {
public:
    NoLeak() : before_(harness::open_descriptors()) {}
    NoLeak(const NoLeak &) = delete;
    NoLeak &operator=(const NoLeak &) = delete;
    ~NoLeak() { EXPECT_EQ(before_, harness::open_descriptors()) << "descriptors leaked"; }

private:
    int before_;
};

// A call's result and the errno it left (0 before the call).
template <typename Call> std::pair<long, int> with_errno(Call call)
{
    errno = 0;
    const long result = call();
    return {result, errno};
}

using Failure = std::pair<long, int>;

std::string temp_file()
{
    char name[] = "/tmp/radio-fd-test.XXXXXX";
    sandbox::Fd fd(mkstemp(name));
    EXPECT_TRUE(fd);
    return name;
}

TEST(Descriptors, SerialOpenFailures)
{
    const std::string file = temp_file();
    auto pty = sandbox::open_pty();
    ASSERT_TRUE(pty);
    // A pty whose IEXTEN is locked off (as root may lock a tty's settings)
    // keeps a record other than the port's: the one refusal a pty can show.
    sandbox::Fd held(open(pty->slave.c_str(), O_RDWR | O_NOCTTY));
    termios raw{};
    ASSERT_EQ(0, tcgetattr(held.get(), &raw));
    cfmakeraw(&raw);
    ASSERT_EQ(0, tcsetattr(held.get(), TCSANOW, &raw));
    termios lock{};
    lock.c_lflag = IEXTEN;
    const bool locked = ioctl(held.get(), TIOCSLCKTRMIOS, &lock) == 0;
    ASSERT_TRUE(locked || geteuid() != 0) << "root could not lock the pty's settings";
    {
        NoLeak check;
        const char *path = file.c_str();
        const char *slave = pty->slave.c_str();
        // errno says why: the rejected argument, or the failing call's own.
        EXPECT_EQ(Failure(-1, EINVAL), with_errno([&] {
                      return posix_com_open(path, 4800, 'X', 8, 1, 0); // bad argument
                  }));
        EXPECT_EQ(Failure(-1, ENOENT), with_errno([] {
                      return posix_com_open("/nonexistent/ttyS9", 4800, 'N', 8, 1, 0);
                  }));
        EXPECT_EQ(Failure(-1, EINVAL),
                  with_errno([] { return posix_com_open(nullptr, 4800, 'N', 8, 1, 0); }));
        EXPECT_EQ(Failure(-1, ENOTTY), with_errno([&] {
                      return posix_com_open(path, 4800, 'N', 8, 1, 0); // not a terminal
                  }));
        EXPECT_EQ(Failure(-1, ENOTTY),
                  with_errno([] { return posix_com_open("/dev/null", 4800, 'N', 8, 1, 0); }));
        if (locked) { // else not root: nothing can be locked
            EXPECT_EQ(Failure(-1, EINVAL), with_errno([&] {
                          return posix_com_open(slave, 4800, 'N', 8, 1, 0); // not kept
                      }));
        }
    }
    unlink(file.c_str());
}

TEST(Descriptors, SerialIoFailures)
{
    NoLeak check;
    char byte = 0;
    EXPECT_EQ(0, posix_com_write(-1, 'x'));
    EXPECT_EQ(0, posix_com_read(-1, &byte));
    EXPECT_EQ(0, posix_com_dataready(-1));
    EXPECT_EQ(0, posix_com_dataready(FD_SETSIZE));
    EXPECT_EQ(0, posix_com_write_string(-1, "abc"));
    EXPECT_EQ(0, posix_com_close(-1));
}

TEST(Descriptors, SettingsFailures)
{
    auto pty = sandbox::open_pty();
    ASSERT_TRUE(pty);
    termios *good = posix_get_termsettings(pty->slave.c_str());
    ASSERT_NE(nullptr, good);
    termios refused = *good;
    refused.c_cflag &= ~CREAD; // a pty keeps its receiver on
    free(good);
    {
        NoLeak check;
        termios any{};
        const auto got = [](const char *path) {
            return with_errno([&] { return posix_get_termsettings(path) == nullptr ? 0L : 1L; });
        };
        EXPECT_EQ(Failure(0, EINVAL), got(nullptr));
        EXPECT_EQ(Failure(0, ENOENT), got("/nonexistent/tty"));
        EXPECT_EQ(Failure(0, ENOTTY), got("/dev/null"));
        const auto set = [](const char *path, const termios *t) {
            return with_errno([&] { return static_cast<long>(posix_set_termsettings(path, t)); });
        };
        EXPECT_EQ(Failure(0, EINVAL), set(nullptr, &any));
        EXPECT_EQ(Failure(0, EINVAL), set("/dev/null", nullptr));
        EXPECT_EQ(Failure(0, ENOENT), set("/nonexistent/tty", &any));
        EXPECT_EQ(Failure(0, ENOTTY), set("/dev/null", &any));
        EXPECT_EQ(0, posix_set_termsettings(pty->slave.c_str(), &refused));
    }
}

TEST(Descriptors, ConsoleWithoutATerminal)
{
    sandbox::Child child = sandbox::Child::run([] {
        if (setsid() < 0)
            return 10;
        const int before = harness::open_descriptors();
        signed char key = 0;
        const bool results = posix_kbhit() == 0 && posix_kbhit() == 0 && kbport == -1 &&
                             posix_kbwait(0) == 0 && posix_getkey(&key) == 0;
        return results && before == harness::open_descriptors() ? 0 : 1;
    });
    const auto status = child.wait_for(std::chrono::seconds(5));
    ASSERT_TRUE(status);
    EXPECT_EQ(0, sandbox::shell_status(*status));
}

} // namespace
