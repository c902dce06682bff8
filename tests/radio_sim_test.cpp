// SPDX-License-Identifier: MIT
// The device stand-in: its arguments, its listening on a port, and its demo
// taking a pasted burst of keys through the real radio without losing one.

#include "console/key_wait.h"
#include "harness/harness.h"
#include "sandbox/sandbox.h"

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <gtest/gtest.h>
#include <optional>
#include <regex>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

struct Result {
    int status;
    std::string out;
};

// Runs radio-sim with args, its output (both streams) into a pipe.
Result run_sim(const std::vector<std::string> &args)
{
    int out[2];
    EXPECT_EQ(0, pipe2(out, O_CLOEXEC));
    sandbox::Fd read_end(out[0]);
    sandbox::Fd write_end(out[1]);
    std::vector<std::string> argv = {RADIO_SIM_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    argv = harness::command(argv);
    sandbox::Child child = sandbox::Child::spawn(
        [&] {
            (void)dup2(write_end.get(), 1);
            (void)dup2(write_end.get(), 2);
        },
        argv);
    write_end.reset();
    Result r{-1, ""};
    harness::read_for(read_end.get(), &r.out, seconds(5));
    const auto status = child.wait_for(seconds(5));
    r.status = status ? sandbox::shell_status(*status) : -1;
    return r;
}

bool has(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

TEST(RadioSimArguments, HelpVersionAndMistakes)
{
    const Result help = run_sim({"--help"});
    EXPECT_EQ(0, help.status);
    EXPECT_TRUE(has(help.out, "Usage: radio-sim [--port PATH | --keys]")) << help.out;
    const Result version = run_sim({"--version"});
    EXPECT_EQ(0, version.status);
    EXPECT_EQ("radio-sim " RADIO_VERSION " (radio for " RADIO_PORT ")\n", version.out);

    const struct {
        std::vector<std::string> args;
        const char *says;
    } mistakes[] = {
        {{"--bogus"}, "unexpected argument '--bogus'"},
        {{"--port"}, "--port needs a PATH"},
        {{"--port", ""}, "--port needs a PATH"},
        {{"--port", "/dev/null", "extra"}, "unexpected argument 'extra'"},
        {{"--help", "extra"}, "unexpected argument"},
    };
    for (const auto &m : mistakes) {
        const Result r = run_sim(m.args);
        EXPECT_EQ(2, r.status) << m.says;
        EXPECT_TRUE(has(r.out, m.says)) << r.out;
        EXPECT_TRUE(has(r.out, "Try 'radio-sim --help'.")) << r.out;
    }
    const Result missing = run_sim({"--port", "/nonexistent/ttyS9"});
    EXPECT_EQ(1, missing.status);
    EXPECT_TRUE(has(missing.out, "cannot open /nonexistent/ttyS9")) << missing.out;
}

// The demo starts radio by exec: a cross build's radio runs on this
// machine only behind the emulator, which the demo does not know of.
bool demo_runs_here(std::string *why)
{
    sandbox::Child probe = sandbox::Child::spawn(
        [] {
            const int null = open("/dev/null", O_WRONLY);
            (void)dup2(null, 1);
            (void)dup2(null, 2);
        },
        {RADIO_SIM_BIN, "--version"});
    const auto status = probe.wait_for(seconds(5));
    if (status && sandbox::shell_status(*status) == 0)
        return true;
    *why = "this machine cannot run radio-sim's binaries directly (a cross build without a "
           "binfmt handler)";
    return false;
}

// argv in a new session whose controlling terminal and standard streams
// are the pty at slave; with SIGCHLD ignored, as some launchers leave it,
// if sigchld_ignored.
sandbox::Child start_in_terminal(const std::string &slave, const std::vector<std::string> &argv,
                                 bool sigchld_ignored = false)
{
    return sandbox::Child::spawn(
        [&] {
            std::string reason;
            if (!harness::take_terminal(slave, true, &reason) ||
                (sigchld_ignored && signal(SIGCHLD, SIG_IGN) == SIG_ERR))
                _exit(125);
        },
        argv);
}

// Whether the demo can run here with a port of its own, else why not.
bool demo_with_port_here(std::string *why)
{
    if (!demo_runs_here(why))
        return false;
    if (harness::port_namespace_available(why))
        return true;
    *why = "no private mount namespace here: " + *why;
    return false;
}

// radio-sim on a console of its own, once radio is in key mode there.
struct Demo {
    sandbox::Pty console;
    sandbox::Child sim;
    termios at_start{}; // the console's settings before radio-sim started
    int master() const { return console.master.get(); }
};

std::optional<Demo> start_demo(bool sigchld_ignored = false)
{
    auto console = sandbox::open_pty();
    if (!console)
        return std::nullopt;
    Demo demo{std::move(*console), {}};
    if (tcgetattr(demo.master(), &demo.at_start) != 0)
        return std::nullopt;
    demo.sim = start_in_terminal(demo.console.slave, {RADIO_SIM_BIN}, sigchld_ignored);
    if (!harness::wait_key_mode(demo.master(), seconds(5)))
        return std::nullopt;
    return demo;
}

TEST(RadioSimDemo, AFailedStartEndsWithAMessage)
{
    std::string why;
    if (!demo_runs_here(&why))
        GTEST_SKIP() << why;
    // No process may be made: the demo cannot start radio.  Root is exempt
    // from the limit, so as root the copy runs as nobody, from a folder
    // anyone may enter.
    char folder[] = "/tmp/radio-sim-nproc.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(folder));
    const std::string copy = std::string(folder) + "/radio-sim";
    ASSERT_EQ(0, chmod(folder, 0755));
    std::error_code copied;
    ASSERT_TRUE(std::filesystem::copy_file(RADIO_SIM_BIN, copy, copied)) << copied.message();
    int out[2];
    ASSERT_EQ(0, pipe2(out, O_CLOEXEC));
    sandbox::Fd read_end(out[0]);
    sandbox::Fd write_end(out[1]);
    sandbox::Child sim = sandbox::Child::spawn(
        [&] {
            (void)dup2(write_end.get(), 1);
            (void)dup2(write_end.get(), 2);
            const uid_t nobody = 65534;
            if (getuid() == 0 &&
                (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0))
                _exit(125);
            const rlimit none = {0, 0};
            if (setrlimit(RLIMIT_NPROC, &none) != 0)
                _exit(125);
        },
        {copy});
    write_end.reset();
    std::string said;
    harness::read_for(read_end.get(), &said, seconds(2));
    const auto status = sim.wait_for(seconds(5));
    (void)unlink(copy.c_str());
    (void)rmdir(folder);
    ASSERT_TRUE(status) << "radio-sim did not end";
    EXPECT_EQ(1, sandbox::shell_status(*status));
    EXPECT_TRUE(has(said, "radio-sim: cannot start ")) << said;
}

TEST(RadioSimPort, ShowsAndCountsWhatArrivesUntilInterrupted)
{
    auto pty = sandbox::open_pty();
    ASSERT_TRUE(pty);
    int out[2];
    ASSERT_EQ(0, pipe2(out, O_CLOEXEC));
    sandbox::Fd read_end(out[0]);
    sandbox::Fd write_end(out[1]);
    sandbox::Child sim =
        sandbox::Child::spawn([&] { (void)dup2(write_end.get(), 1); },
                              harness::command({RADIO_SIM_BIN, "--port", pty->slave}));
    write_end.reset();

    std::string shown;
    ASSERT_TRUE(harness::read_until(
        read_end.get(), &shown, [](const std::string &s) { return has(s, "listening"); },
        seconds(5)));
    ASSERT_TRUE(sandbox::write_all(pty->master.get(), std::string("\x20\x41\x00", 3)));
    ASSERT_TRUE(harness::read_until(
        read_end.get(), &shown, [](const std::string &s) { return has(s, "rx 0x00"); }, seconds(5)))
        << shown;
    kill(sim.pid(), SIGINT);
    harness::read_for(read_end.get(), &shown, seconds(2));
    const auto status = sim.wait_for(seconds(5));
    ASSERT_TRUE(status);
    EXPECT_EQ(0, sandbox::shell_status(*status));
    EXPECT_TRUE(has(shown, "rx 0x20  key 8     | up ON | down -- |")) << shown;
    EXPECT_TRUE(has(shown, "rx 0x41  UNKNOWN")) << shown;
    EXPECT_TRUE(has(shown, "rx 0x00  key space | up -- |")) << shown;
    EXPECT_TRUE(has(shown, "radio-sim: stopped; 3 bytes received: 8=1 2=0 4=0 6=0 9=0 7=0 "
                           "space=1 unknown=1"))
        << shown;
}

TEST(RadioSimPort, WithItsOutputClosedItSendsNothingToThePort)
{
    // Closed, standard output and error would be the numbers the port
    // takes: what radio-sim shows would reach the far end as bytes.
    auto pty = sandbox::open_pty();
    ASSERT_TRUE(pty);
    sandbox::Child sim = sandbox::Child::spawn(
        [] {
            (void)close(1);
            (void)close(2);
        },
        harness::command({RADIO_SIM_BIN, "--port", pty->slave}));
    // Out of canonical mode: the port is open and set.
    ASSERT_TRUE(harness::wait_key_mode(pty->master.get(), seconds(5)));
    ASSERT_TRUE(sandbox::write_all(pty->master.get(), "8"));
    std::string far_end;
    harness::read_for(pty->master.get(), &far_end, milliseconds(500));
    kill(sim.pid(), SIGINT);
    harness::read_for(pty->master.get(), &far_end, milliseconds(200));
    const auto status = sim.wait_for(seconds(5));
    ASSERT_TRUE(status);
    EXPECT_EQ(0, sandbox::shell_status(*status));
    EXPECT_EQ("", far_end);
}

TEST(RadioSimKeys, ShowsEachKeysBytesGapsAndCommandThenRestoresTheTerminal)
{
    std::string why;
    if (!demo_runs_here(&why))
        GTEST_SKIP() << why;
    auto console = sandbox::open_pty();
    ASSERT_TRUE(console);
    const int master = console->master.get();
    termios before{};
    ASSERT_EQ(0, tcgetattr(master, &before));
    const std::string slave = console->slave;
    sandbox::Child sim = start_in_terminal(slave, {RADIO_SIM_BIN, "--keys"});
    ASSERT_TRUE(harness::wait_key_mode(master, seconds(5)));
    std::string screen;
    const auto shows = [&](const std::string &part) {
        return harness::read_until(
            master, &screen, [&](const std::string &s) { return has(s, part); }, seconds(5));
    };
    const std::string wait = std::to_string(console_key_wait_ms(nullptr));
    EXPECT_TRUE(shows("waits up to " + wait + " ms")) << screen;
    ASSERT_TRUE(sandbox::write_all(master, "8"));
    EXPECT_TRUE(shows("38 -> key '8' -> sends 0x20 (up)\r\n")) << screen;
    // Up, its bytes 20 ms apart: one key, the gaps shown.  Their values are
    // the reader's: on a loaded machine two bytes may be read together, or
    // one late, so only their form is certain.
    for (const char *byte : {"\x1b", "[", "A"}) {
        ASSERT_TRUE(sandbox::write_all(master, byte));
        std::this_thread::sleep_for(milliseconds(20));
    }
    EXPECT_TRUE(shows("-> key '^@' (0x00) from a sequence -> no command\r\n")) << screen;
    EXPECT_TRUE(std::regex_search(
        screen, std::regex("1b 5b 41 \\(gaps [0-9]+\\.[0-9]{3} [0-9]+\\.[0-9]{3} ms\\) ")))
        << screen;
    ASSERT_TRUE(sandbox::write_all(master, "\x1b"));
    EXPECT_TRUE(shows("1b (then nothing for " + wait + " ms) -> key '^[' (0x1b) -> radio ends"))
        << screen;
    const auto status = sim.wait_for(seconds(5));
    ASSERT_TRUE(status);
    EXPECT_EQ(0, sandbox::shell_status(*status));
    termios after{};
    ASSERT_EQ(0, tcgetattr(master, &after));
    EXPECT_EQ(before.c_lflag, after.c_lflag);
    EXPECT_EQ(before.c_iflag, after.c_iflag);
    EXPECT_EQ(before.c_oflag, after.c_oflag);
}

TEST(RadioSimDemo, EndsAfterEscapeAlsoWhenStartedWithSIGCHLDIgnored)
{
    // Ignored, SIGCHLD lets the kernel reap radio unseen: a demo that
    // waited for its status would spin for ever.
    std::string why;
    if (!demo_with_port_here(&why))
        GTEST_SKIP() << why;
    auto demo = start_demo(true);
    ASSERT_TRUE(demo) << "radio never reached key mode";
    const int master = demo->master();
    std::string screen;
    EXPECT_TRUE(harness::converse(
        master, "8\x1b", &screen, [](const std::string &s) { return has(s, "radio exited"); },
        seconds(10)))
        << screen;
    const auto status = demo->sim.wait_for(seconds(5));
    ASSERT_TRUE(status) << "radio-sim did not end";
    EXPECT_EQ(0, sandbox::shell_status(*status));
    EXPECT_TRUE(has(screen, "radio exited with status 1; 1 bytes received: 8=1 ")) << screen;
}

// The first child of parent found in /proc, or -1.
pid_t child_of(pid_t parent)
{
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const auto pid = static_cast<pid_t>(std::stol(name));
        // The state, then the parent.
        std::istringstream fields(harness::stat_fields(pid));
        char state = 0;
        pid_t ppid = 0;
        if (fields >> state >> ppid && ppid == parent)
            return pid;
    }
    return -1;
}

TEST(RadioSimDemo, PutsTheTerminalBackWhenItsRadioIsKilled)
{
    // SIGKILL gives radio no chance to put the terminal back itself.
    std::string why;
    if (!demo_with_port_here(&why))
        GTEST_SKIP() << why;
    auto demo = start_demo();
    ASSERT_TRUE(demo) << "radio never reached key mode";
    const pid_t radio = child_of(demo->sim.pid());
    ASSERT_GT(radio, 0);
    ASSERT_EQ(0, kill(radio, SIGKILL));
    std::string screen;
    EXPECT_TRUE(harness::read_until(
        demo->master(), &screen,
        [](const std::string &s) { return has(s, "did not end normally (killed by signal 9)"); },
        seconds(10)))
        << screen;
    const auto status = demo->sim.wait_for(seconds(5));
    ASSERT_TRUE(status) << "radio-sim did not end";
    EXPECT_EQ(1, sandbox::shell_status(*status));
    EXPECT_TRUE(has(screen, "radio-sim: radio killed by signal 9; 0 bytes received:")) << screen;
    termios after{};
    ASSERT_EQ(0, tcgetattr(demo->master(), &after));
    EXPECT_EQ(demo->at_start.c_lflag, after.c_lflag);
    EXPECT_EQ(demo->at_start.c_iflag, after.c_iflag);
    EXPECT_EQ(demo->at_start.c_oflag, after.c_oflag);
}

TEST(RadioSimDemo, APastedBurstAllArrivesInOrder)
{
    std::string why;
    if (!demo_with_port_here(&why))
        GTEST_SKIP() << why;
    auto demo = start_demo();
    ASSERT_TRUE(demo) << "radio never reached key mode";
    const int master = demo->master();

    const std::string keys = "824697 ";
    std::string burst;
    for (int i = 0; i < 5000; ++i)
        burst += keys[static_cast<size_t>(i) % keys.size()];
    std::string screen;
    ASSERT_TRUE(harness::converse(
        master, burst, &screen, [](const std::string &) { return true; }, seconds(30)));
    ASSERT_TRUE(harness::converse(
        master, "\x1b", &screen, [](const std::string &s) { return has(s, "radio exited"); },
        seconds(30)));
    harness::read_for(master, &screen, milliseconds(300));
    const auto status = demo->sim.wait_for(seconds(5));
    ASSERT_TRUE(status);
    EXPECT_EQ(0, sandbox::shell_status(*status)); // radio's normal end

    const std::string bytes = "\x20\x10\x08\x04\x02\x01";
    std::string seen;
    const std::regex rx("rx 0x([0-9a-f]{2})");
    for (auto it = std::sregex_iterator(screen.begin(), screen.end(), rx);
         it != std::sregex_iterator(); ++it)
        seen += static_cast<char>(std::stoi((*it)[1].str(), nullptr, 16));
    std::string expected;
    for (const char k : burst)
        expected += k == ' ' ? '\0' : bytes[keys.find(k)];
    EXPECT_EQ(expected.size(), seen.size());
    EXPECT_TRUE(expected == seen) << "bytes out of order or changed";
    EXPECT_TRUE(has(screen, "radio exited with status 1; 5000 bytes received: 8=715 2=715 "
                            "4=714 6=714 9=714 7=714 space=714 unknown=0"))
        << screen.substr(screen.size() > 400 ? screen.size() - 400 : 0);
}

} // namespace
