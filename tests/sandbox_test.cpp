// SPDX-License-Identifier: MIT
// The stand-in's private /dev: a pty laid over a port's path, whatever
// folders the path lies in, and nothing left behind by a port refused.

#include "harness/harness.h"
#include "sandbox/sandbox.h"

#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>

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

} // namespace
