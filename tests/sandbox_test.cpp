// SPDX-License-Identifier: MIT
// The stand-in's private /dev: a pty laid over a port's path, whatever
// folders the path lies in, and nothing left behind by a port refused; a
// new pty laid in place of one, and never the real device between.

#include "harness/harness.h"
#include "sandbox/sandbox.h"

#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using std::chrono::seconds;

TEST(StandIn, LaysAPortInNestedFoldersOfItsPrivateDev)
{
    // Where a port's stable name is built in (/dev/serial/by-id/...), the
    // stand-in makes its folders; a path that would leave /dev is refused.
    std::string why;
    if (!harness::port_namespace_available(&why))
        GTEST_SKIP() << "no private mount namespace here: " << why;
    auto pty = sandbox::open_pty();
    ASSERT_TRUE(pty && sandbox::make_raw(pty->slave));
    const std::string slave = pty->slave;
    const auto written_through = [&](const std::string &port) {
        sandbox::Child child = sandbox::Child::run([&] {
            std::string reason;
            if (!sandbox::enter_port_namespace(slave, port, &reason))
                return 2;
            sandbox::Fd fd(open(port.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC));
            return fd && sandbox::write_all(fd.get(), "x") ? 0 : 1;
        });
        const auto status = child.wait_for(seconds(5));
        return status ? sandbox::shell_status(*status) : -1;
    };
    EXPECT_EQ(0, written_through("/dev/serial/by-id/usb-radio_test_A1B2-if00-port0"));
    std::string got;
    EXPECT_TRUE(harness::read_until(
        pty->master.get(), &got, [](const std::string &t) { return t == "x"; }, seconds(5)))
        << got;
    EXPECT_EQ(2, written_through("/dev/serial/../../tmp/radio-test-port"));
    // A port refused after its /dev was begun (a name too long) leaves no
    // folder in /tmp: a /tmp of the child's own, empty before, stays empty.
    sandbox::Child refused = sandbox::Child::run([&] {
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", "/tmp", "tmpfs", 0, nullptr) != 0)
            return 3;
        std::string reason;
        if (sandbox::enter_port_namespace(slave, "/dev/serial/" + std::string(300, 'x'), &reason))
            return 2;
        std::error_code error;
        return std::filesystem::is_empty("/tmp", error) && !error ? 0 : 1;
    });
    const auto status = refused.wait_for(seconds(5));
    ASSERT_TRUE(status);
    if (sandbox::shell_status(*status) != 3) {
        EXPECT_EQ(0, sandbox::shell_status(*status));
    }
}

// The device number of the node at path (stat only: never opened), or 0.
dev_t node(const std::string &path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_rdev : 0;
}

TEST(StandIn, ReplacesThePortButNeverShowsTheRealOne)
{
    // Laying a new pty takes the old one away first.  Calls that fail
    // between the two steps must not leave that to the next call: taking
    // what lies beneath would show the machine's own device, which radio,
    // looking for its port twice a second, would open.
    std::string why;
    if (!harness::port_namespace_available(&why))
        GTEST_SKIP() << "no private mount namespace here: " << why;
    const std::string port = RADIO_PORT;
    auto first = sandbox::open_pty();
    auto second = sandbox::open_pty();
    int entered[2];
    ASSERT_TRUE(first && second && pipe2(entered, O_CLOEXEC) == 0);
    sandbox::Fd said(entered[0]);
    sandbox::Fd say(entered[1]);
    const std::string slave = first->slave;
    sandbox::Child holder = sandbox::Child::run([&] {
        std::string reason;
        if (!sandbox::enter_port_namespace(slave, port, &reason) ||
            !sandbox::write_all(say.get(), "."))
            return 1;
        pause();
        return 0;
    });
    say.reset();
    char byte = 0;
    ASSERT_EQ(1, read(said.get(), &byte, 1)) << "the child never entered its namespace";
    const std::string seen = "/proc/" + std::to_string(holder.pid()) + "/root" + port;
    // 0 where the machine has no such node: the stand-in's own /dev then
    // holds an empty file beneath the pty, which stat shows as 0 too.
    const dev_t real = node(port);
    first->master.reset(); // pulled out
    for (const std::string &lay : {std::string("/dev/pts/none"), std::string("/dev/pts/none"),
                                   second->slave, std::string("/dev/pts/none")}) {
        const bool good = lay != "/dev/pts/none";
        EXPECT_EQ(good, sandbox::lay_port_in(holder.pid(), lay, port, &why)) << lay;
        if (real != 0) {
            EXPECT_NE(real, node(seen)) << "the real " << port << " shows after laying " << lay;
        }
        if (good) {
            EXPECT_EQ(node(lay), node(seen));
            second->master.reset(); // pulled out again
        }
    }
}

} // namespace
