// SPDX-License-Identifier: MIT
// Keys and terminal settings, each test in a child whose controlling
// terminal is a fresh pty, so that /dev/tty is a terminal the test drives
// from the master side.

#include "console/console.h"
#include "console/key_wait.h"
#include "harness/harness.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <new>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

#include <sstream>
#include <thread>

namespace {

using Report = harness::Session::Report;
using std::chrono::milliseconds;
using std::chrono::seconds;

std::string key_line(signed char key, signed char extended)
{
    return "key " + std::to_string(key) + " " + std::to_string(extended);
}

// Reports "ready" once key mode is on, then one line per key.
void read_keys(const Report &report, int keys)
{
    (void)posix_kbhit();
    report("ready");
    for (int i = 0; i < keys; ++i) {
        signed char key = 0;
        const signed char extended = posix_getkey(&key);
        report(key_line(key, extended));
    }
}

// Types input on the console and returns the key lines it produced.
std::vector<std::string> keys_for(const std::string &input, int keys)
{
    harness::Session session([&](const Report &report) { read_keys(report, keys); });
    EXPECT_EQ("ready", session.next());
    EXPECT_TRUE(sandbox::write_all(session.master(), input));
    std::vector<std::string> lines;
    lines.reserve(static_cast<size_t>(keys));
    for (int i = 0; i < keys; ++i)
        lines.push_back(session.next());
    EXPECT_EQ(0, session.finish());
    return lines;
}

using Lines = std::vector<std::string>;

TEST(ConsoleKeys, PlainKeysAndEscapeAlone)
{
    EXPECT_EQ(Lines{key_line('a', 0)}, keys_for("a", 1));
    EXPECT_EQ(Lines{key_line(8, 0)}, keys_for("\x7f", 1));
    EXPECT_EQ(Lines{key_line(27, 0)}, keys_for("\x1b", 1));
    EXPECT_EQ(Lines{key_line(13, 0)}, keys_for("\r", 1));  // Enter is not mapped
    EXPECT_EQ(Lines{key_line(3, 0)}, keys_for("\x03", 1)); // Ctrl-C is a key
}

TEST(ConsoleKeys, TheByteRightAfterEscapeIsTheKey)
{
    EXPECT_EQ(Lines{key_line('x', 0)}, keys_for("\x1bx", 1));
    EXPECT_EQ(Lines{key_line('[', 0)}, keys_for("\x1b[", 1));
    EXPECT_EQ(Lines{key_line('O', 0)}, keys_for("\x1bO", 1));
    EXPECT_EQ(Lines{key_line(127, 0)}, keys_for("\x1b\x7f", 1));
}

TEST(ConsoleKeys, SequencesEndingInTildeGiveTheirNumber)
{
    EXPECT_EQ(Lines{key_line(15, 1)}, keys_for("\x1b[15~", 1));
    EXPECT_EQ(Lines{key_line(24, 1)}, keys_for("\x1b[24~", 1));
    EXPECT_EQ(Lines{key_line(44, 1)}, keys_for("\x1b[300~", 1)); // low 8 bits
    EXPECT_EQ(Lines{key_line(1, 1)}, keys_for("\x1b[1;5~", 1));
    EXPECT_EQ(Lines{key_line(0, 1)}, keys_for("\x1b[~", 1));
    EXPECT_EQ(Lines{key_line(-1, 1)}, keys_for("\x1b[99999999999~", 1)); // INT32_MAX
}

TEST(ConsoleKeys, CursorKeysEndAtTheirLetterAndLeaveTheKeyboardAlone)
{
    EXPECT_EQ((Lines{key_line(0, 1), key_line('8', 0)}), keys_for("\x1b[A8", 2));
    EXPECT_EQ((Lines{key_line(0, 1), key_line(27, 0)}), keys_for("\x1b[D\x1b", 2));
    // xterm's modified keys end the same way.
    EXPECT_EQ((Lines{key_line(1, 1), key_line(' ', 0)}), keys_for("\x1b[1;5C ", 2));
    // The Linux console's F1 (Escape [ [ A) and the application keypad's
    // 8 (Escape O x) are one key each.
    EXPECT_EQ((Lines{key_line(0, 1), key_line('8', 0)}), keys_for("\x1b[[A8", 2));
    EXPECT_EQ((Lines{key_line('8', 1), key_line('8', 0)}), keys_for("\x1bOx8", 2));
}

TEST(ConsoleKeys, KeysWithoutAFinalByteEndWithWhatIsWaiting)
{
    // The rxvt family ends shifted keys with '$'.
    EXPECT_EQ((Lines{key_line(23, 1), key_line('8', 0)}), keys_for("\x1b[23$8", 2));
    EXPECT_EQ((Lines{key_line(7, 1), key_line(27, 0)}), keys_for("\x1b[7$\x1b", 2));
    // Keys with no final byte at all end where the waiting bytes end: the
    // next key, typed after the first was read, is a key of its own.
    const std::pair<const char *, signed char> cases[] = {
        {"\x1b[9", 9}, {"\x1b[18", 18}, {"\x1b[<", 0}};
    for (const auto &[first, number] : cases) {
        harness::Session session([](const Report &report) { read_keys(report, 2); });
        EXPECT_EQ("ready", session.next());
        EXPECT_TRUE(sandbox::write_all(session.master(), first));
        EXPECT_EQ(key_line(number, 1), session.next()) << first + 1;
        EXPECT_TRUE(sandbox::write_all(session.master(), "8"));
        EXPECT_EQ(key_line('8', 0), session.next());
        EXPECT_EQ(0, session.finish());
    }
}

TEST(ConsoleKeys, ALongSequenceNeitherHangsNorGrowsNorSwallowsTheNextKey)
{
    // 100 000 digits outrun the terminal's buffer, so the sequence ends
    // wherever the waiting bytes run out and the rest arrive as keys; what
    // must hold is that every read returns and 'z' is still a key.
    harness::Session session([](const Report &report) {
        (void)posix_kbhit();
        report("ready");
        rusage before{};
        (void)getrusage(RUSAGE_SELF, &before);
        signed char key = 0;
        const signed char first = posix_getkey(&key);
        while (key != 'z' && posix_getkey(&key) == 0) {
        }
        rusage after{};
        (void)getrusage(RUSAGE_SELF, &after);
        // Peak memory in kilobytes: a few pages of stack and stdio at most.
        const bool small = after.ru_maxrss - before.ru_maxrss < 4096;
        report("first " + std::to_string(first) + " last " + std::to_string(key) +
               (small ? " small" : " large"));
    });
    EXPECT_EQ("ready", session.next());
    std::string screen;
    ASSERT_TRUE(harness::converse(
        session.master(), "\x1b[" + std::string(100000, '9') + "~z", &screen,
        [](const std::string &) { return true; }, std::chrono::seconds(30)));
    EXPECT_EQ("first 1 last 122 small", session.next(std::chrono::seconds(30)));
    EXPECT_EQ(0, session.finish());
}

// Gives sig a handler that does nothing, as a program with signal handlers
// of its own would: the signal interrupts waits instead of ending the run.
bool catch_signal(int sig)
{
    struct sigaction sa {};
    sa.sa_handler = [](int) {};
    return sigaction(sig, &sa, nullptr) == 0;
}

// For the handler below: the terminal, open for writing.
int signal_seen_fd = -1;

TEST(ConsoleKeys, AHungUpConsoleIsReportedAndASignalIsNot)
{
    harness::Session session([](const Report &report) {
        // The handler says on the terminal that the signal came, so the key
        // is typed only once the read has been interrupted.
        signal_seen_fd = open(posix_console_name(), O_WRONLY | O_NOCTTY);
        struct sigaction sa {};
        sa.sa_handler = [](int) { (void)!write(signal_seen_fd, "S", 1); };
        if (signal_seen_fd < 0 || sigaction(SIGALRM, &sa, nullptr) != 0 ||
            signal(SIGHUP, SIG_IGN) == SIG_ERR)
            return report("no handler");
        (void)posix_kbhit();
        report("ready");
        const itimerval soon = {{0, 0}, {0, 50000}};
        (void)setitimer(ITIMER_REAL, &soon, nullptr);
        signed char key = 'q';
        signed char result = posix_getkey(&key);
        report(key_line(key, result));
        key = 'q';
        result = posix_getkey(&key);
        report(key_line(key, result));
    });
    EXPECT_EQ("ready", session.next());
    std::string screen;
    ASSERT_TRUE(harness::read_until(
        session.master(), &screen, [](const std::string &s) { return s == "S"; },
        std::chrono::seconds(5)));
    ASSERT_TRUE(sandbox::write_all(session.master(), "k"));
    EXPECT_EQ(key_line('k', 0), session.next());
    session.hang_up();
    EXPECT_EQ(key_line('q', -1), session.next());
    EXPECT_EQ(0, session.finish());
}

TEST(ConsoleKeys, ASignalDuringTheWaitForTheNextByteDoesNotEndTheKey)
{
    // A timer interrupts the wait every 5 ms; the console, at 50 baud, waits
    // 800 ms for a key's next byte, so a byte 100 ms behind the Escape is
    // well within it on a loaded machine.  A wait that a signal ended would
    // give Escape, then '[' and 'A'.
    harness::Session session(
        [](const Report &report) {
            if (!catch_signal(SIGALRM))
                return report("no handler");
            (void)posix_kbhit();
            report("ready");
            const itimerval often = {{0, 5000}, {0, 5000}};
            (void)setitimer(ITIMER_REAL, &often, nullptr);
            signed char key = 0;
            const signed char extended = posix_getkey(&key);
            const itimerval off = {{0, 0}, {0, 0}};
            (void)setitimer(ITIMER_REAL, &off, nullptr);
            report(key_line(key, extended));
        },
        harness::Session::Start::on_go);
    termios t{};
    ASSERT_EQ(0, tcgetattr(session.master(), &t));
    cfsetispeed(&t, B50);
    cfsetospeed(&t, B50);
    ASSERT_EQ(0, tcsetattr(session.master(), TCSANOW, &t));
    session.go();
    EXPECT_EQ("ready", session.next());
    ASSERT_TRUE(sandbox::write_all(session.master(), "\x1b"));
    std::this_thread::sleep_for(milliseconds(100));
    ASSERT_TRUE(sandbox::write_all(session.master(), "[A"));
    EXPECT_EQ(key_line(0, 1), session.next());
    EXPECT_EQ(0, session.finish());
}

TEST(ConsoleKeys, GetkeyBeforeKbhitReadsNothing)
{
    harness::Session session([](const Report &report) {
        signed char key = 'q';
        const signed char extended = posix_getkey(&key);
        report(key_line(key, extended) + " " + std::to_string(kbport));
    });
    (void)sandbox::write_all(session.master(), "a");
    EXPECT_EQ(key_line('q', 0) + " -1", session.next());
    EXPECT_EQ(0, session.finish());
}

TEST(ConsoleKeys, KbhitReportsPendingKeysWithoutWaiting)
{
    harness::Session session([](const Report &report) {
        const int first = posix_kbhit();
        report("first " + std::to_string(first));
        while (posix_kbhit() == 0)
            std::this_thread::sleep_for(milliseconds(1));
        report("pending");
        signed char key = 0;
        (void)posix_getkey(&key);
        report("after " + std::to_string(posix_kbhit()));
    });
    EXPECT_EQ("first 0", session.next());
    (void)sandbox::write_all(session.master(), "k");
    EXPECT_EQ("pending", session.next());
    EXPECT_EQ("after 0", session.next());
    EXPECT_EQ(0, session.finish());
}

// c_api_test, a C program that uses the layer without the signal handlers,
// in a terminal of its own, with typed waiting in the terminal's input
// before it starts.  Its exit status, its line about the first poll, what
// it wrote on standard error, and the terminal's settings after it.
struct FromC {
    int status = -1;
    std::string out;
    std::string err;
    termios after{};
};

FromC first_poll_from_c(const std::string &typed)
{
    FromC run;
    auto pty = sandbox::open_pty();
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    int go[2] = {-1, -1};
    const bool made = pty && pipe2(out, O_CLOEXEC) == 0 && pipe2(err, O_CLOEXEC) == 0 &&
                      pipe2(go, O_CLOEXEC) == 0;
    sandbox::Fd out_read(out[0]);
    sandbox::Fd out_write(out[1]);
    sandbox::Fd err_read(err[0]);
    sandbox::Fd err_write(err[1]);
    sandbox::Fd go_read(go[0]);
    sandbox::Fd go_write(go[1]);
    if (!made) {
        ADD_FAILURE() << "no pty or pipe";
        return run;
    }
    const std::string slave = pty->slave;
    sandbox::Child child = sandbox::Child::spawn(
        [&] {
            std::string why;
            char word = 0;
            // Standard input stays on the terminal, which is so never
            // closed; 't': it is the child's, so the master may be typed on.
            if (!harness::take_terminal(slave, true, &why) || dup2(out_write.get(), 1) < 0 ||
                dup2(err_write.get(), 2) < 0 || !sandbox::write_all(1, "t") ||
                read(go_read.get(), &word, 1) != 1)
                _exit(125);
        },
        harness::command({C_API_BIN}));
    out_write.reset();
    err_write.reset();
    std::string taken;
    std::string echo;
    // The echo says the line discipline holds what was typed.
    if (!harness::read_until(
            out_read.get(), &taken, [](const std::string &got) { return !got.empty(); },
            seconds(5)) ||
        !harness::converse(
            pty->master.get(), typed, &echo,
            [&](const std::string &got) { return got.find(typed) != std::string::npos; },
            seconds(5)))
        ADD_FAILURE() << "the terminal never took '" << typed << "'";
    (void)sandbox::write_all(go_write.get(), "g");
    const auto status = child.wait_for(seconds(10));
    run.status = status ? sandbox::shell_status(*status) : -1;
    harness::read_until(
        out_read.get(), &run.out,
        [](const std::string &got) { return got.find('\n') != std::string::npos; },
        milliseconds(500));
    harness::read_for(err_read.get(), &run.err, milliseconds(100));
    (void)tcgetattr(pty->master.get(), &run.after);
    return run;
}

TEST(ConsoleFromC, TheFirstPollNeitherWaitsNorMissesAKeyAndKeyModeSaysNothing)
{
    // A program that never arms the handlers gets key mode as quietly as
    // radio does, and its first poll is a poll: no wait with nothing
    // typed, the key when one was typed before it.
    for (const std::string typed : {"", "k"}) {
        SCOPED_TRACE("typed '" + typed + "'");
        const FromC run = first_poll_from_c(typed);
        EXPECT_EQ(0, run.status);
        EXPECT_EQ("", run.err);
        // "first poll N in MS ms, lflag L iflag I": the settings it saw in
        // key mode, before it put the terminal back.
        ASSERT_EQ(0U, run.out.rfind("first poll ", 0)) << run.out;
        std::istringstream line(run.out.substr(11));
        int found = -1;
        long ms = -1;
        std::string word;
        tcflag_t lflag = 0;
        tcflag_t iflag = 0;
        ASSERT_TRUE(line >> found >> word >> ms >> word >> word >> std::hex >> lflag >> word >>
                    iflag)
            << run.out;
        EXPECT_EQ(typed.empty() ? 0 : 1, found);
        EXPECT_LT(ms, 100) << "milliseconds the first poll took";
        EXPECT_EQ(static_cast<tcflag_t>(IEXTEN), lflag);
        EXPECT_EQ(0U, iflag);
        EXPECT_NE(0U, run.after.c_lflag & ICANON) << "the terminal was not put back";
    }
}

TEST(ConsoleSignals, RestoreOnSignalsSaysWhetherItArmed)
{
    harness::Session session([](const Report &report) {
        (void)signal(SIGTERM, SIG_DFL);
        termios *saved = posix_get_termsettings(posix_console_name());
        const int32_t armed = posix_restore_on_signals(saved);
        struct sigaction now {};
        (void)sigaction(SIGTERM, nullptr, &now);
        const bool handled = now.sa_handler != SIG_DFL;
        errno = 0;
        const int32_t null = posix_restore_on_signals(nullptr);
        const int why = errno;
        free(saved);
        report(std::to_string(armed) + " " + std::to_string(handled) + "; " + std::to_string(null) +
               " " + (why == EINVAL ? "EINVAL" : std::to_string(why)));
    });
    EXPECT_EQ("1 1; 0 EINVAL", session.next());
    EXPECT_EQ(0, session.finish());
}

TEST(ConsoleMode, KeyModeIsAppliedAndKeepsTheLine)
{
    // What a pty cannot show (its own CS8 and receiver) is key_mode_test's;
    // here the first poll applies key mode to the real terminal, which keeps
    // its speed, its CLOCAL and its control characters.
    for (const bool clocal : {true, false}) {
        harness::Session session(
            [](const Report &report) {
                (void)posix_kbhit();
                report("ready");
            },
            harness::Session::Start::on_go);
        termios before{};
        ASSERT_EQ(0, tcgetattr(session.master(), &before));
        before.c_cflag = clocal ? (before.c_cflag | CLOCAL) : (before.c_cflag & ~CLOCAL);
        cfsetispeed(&before, B115200);
        cfsetospeed(&before, B115200);
        before.c_cc[VTIME] = 3;
        ASSERT_EQ(0, tcsetattr(session.master(), TCSANOW, &before));
        ASSERT_EQ(0, tcgetattr(session.master(), &before));
        session.go();
        EXPECT_EQ("ready", session.next());
        termios after{};
        ASSERT_EQ(0, tcgetattr(session.master(), &after));
        EXPECT_EQ(0U, after.c_iflag);
        EXPECT_EQ(static_cast<tcflag_t>(IEXTEN), after.c_lflag);
        EXPECT_EQ(before.c_cflag & (CBAUD | CIBAUD | CLOCAL),
                  after.c_cflag & (CBAUD | CIBAUD | CLOCAL));
        EXPECT_EQ(B115200, cfgetospeed(&after));
        for (const int i : {VMIN, VTIME, VINTR, VEOF, VSTART, VSTOP})
            EXPECT_EQ(before.c_cc[i], after.c_cc[i]) << i;
        EXPECT_EQ(0, session.finish());
    }
}

TEST(ConsoleMode, SavedSettingsPutCanonicalModeAndEchoBack)
{
    harness::Session session(
        [](const Report &report) {
            termios *saved = posix_get_termsettings(posix_console_name());
            (void)posix_kbhit();
            report("keys");
            const int restored = posix_set_termsettings(posix_console_name(), saved);
            free(saved);
            report("restored " + std::to_string(restored));
        },
        harness::Session::Start::on_go);
    termios start{};
    ASSERT_EQ(0, tcgetattr(session.master(), &start));
    ASSERT_NE(0U, start.c_lflag & ICANON);
    session.go();
    EXPECT_EQ("keys", session.next());
    EXPECT_EQ("restored 1", session.next());
    termios end{};
    ASSERT_EQ(0, tcgetattr(session.master(), &end));
    EXPECT_EQ(start.c_lflag, end.c_lflag);
    EXPECT_EQ(start.c_iflag, end.c_iflag);
    EXPECT_EQ(start.c_cflag, end.c_cflag);
    EXPECT_EQ(start.c_oflag, end.c_oflag);
    EXPECT_EQ(0, session.finish());
}

TEST(ConsoleMode, ReadingOrApplyingSettingsNeverTakesTheTerminal)
{
    // Taken, the terminal's hang-up would end the caller.
    auto pty = sandbox::open_pty();
    ASSERT_TRUE(pty);
    const char *slave = pty->slave.c_str();
    termios settings{};
    ASSERT_EQ(0, tcgetattr(pty->master.get(), &settings));
    EXPECT_TRUE(harness::takes_no_terminal([slave] {
        termios *read = posix_get_termsettings(slave);
        const bool got = read != nullptr;
        free(read);
        return got;
    })) << "posix_get_termsettings";
    EXPECT_TRUE(harness::takes_no_terminal([&] {
        return posix_set_termsettings(slave, &settings) == 1;
    })) << "posix_set_termsettings";
}

TEST(ConsoleOpen, NoControllingTerminalMeansNoKeys)
{
    sandbox::Child child = sandbox::Child::run([] {
        if (setsid() < 0)
            return 10;
        signed char key = 'q';
        const bool quiet = posix_kbhit() == 0 && posix_kbhit() == 0 && kbport == -1 &&
                           posix_kbwait(1000) == 0 && posix_getkey(&key) == 0 && key == 'q';
        return quiet ? 0 : 1;
    });
    const auto status = child.wait_for(std::chrono::seconds(5));
    ASSERT_TRUE(status);
    EXPECT_EQ(0, sandbox::shell_status(*status));
}

TEST(ConsoleOpen, AConsoleDescriptorTooHighToPollIsClosedAndNotUsed)
{
    harness::Session session([](const Report &report) {
        // Fill every descriptor below FD_SETSIZE, so the console's open
        // lands at FD_SETSIZE.
        const rlimit limit = {FD_SETSIZE + 16, FD_SETSIZE + 16};
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
            report("no rlimit");
            return;
        }
        for (int fd = 0; fd < FD_SETSIZE; ++fd) {
            if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDONLY) != fd) {
                report("cannot fill");
                return;
            }
        }
        const int before = harness::open_descriptors();
        const int hit = posix_kbhit();
        const int wait = posix_kbwait(0);
        std::ostringstream line;
        line << hit << " " << wait << " " << kbport << " "
             << (harness::open_descriptors() - before);
        kbport = FD_SETSIZE + 5; // a caller's bad value never reaches FD_SET
        line << " " << posix_kbhit() << " " << posix_kbwait(0);
        report(line.str());
    });
    EXPECT_EQ("0 0 -1 0 0 0", session.next());
    EXPECT_EQ(0, session.finish());
}

TEST(ConsoleWait, WaitsForAKeyOrTheTimeOut)
{
    harness::Session session([](const Report &report) {
        report("before open " + std::to_string(posix_kbwait(-1)));
        (void)posix_kbhit();
        auto start = std::chrono::steady_clock::now();
        const int timed_out = posix_kbwait(100);
        const auto waited = std::chrono::steady_clock::now() - start;
        report("timed out " + std::to_string(timed_out) + " " +
               std::to_string(waited >= milliseconds(95)));
        report("waiting");
        const int woken = posix_kbwait(-1);
        report("woken " + std::to_string(woken) + " " + std::to_string(posix_kbhit()));
        signed char key = 0;
        (void)posix_getkey(&key);
        const int pending = posix_kbwait(5000);
        report("pending " + std::to_string(pending) + " " + std::to_string(key));
    });
    EXPECT_EQ("before open 0", session.next());
    EXPECT_EQ("timed out 0 1", session.next());
    EXPECT_EQ("waiting", session.next());
    // The key comes only once the child sleeps in the wait.
    ASSERT_TRUE(harness::wait_asleep(session.pid(), seconds(5)));
    (void)sandbox::write_all(session.master(), "12");
    EXPECT_EQ("woken 1 1", session.next());
    EXPECT_EQ("pending 1 49", session.next()); // '2' is still there
    EXPECT_EQ(0, session.finish());
}

// The timer's ticks in the child, counted where the parent sees them.
std::atomic<int> *ticks_seen = nullptr;

TEST(ConsoleWait, ASignalDoesNotCutTheWaitShort)
{
    // A timer interrupts every 5 ms: the time-out is still waited in full,
    // no time-out still means until a key, and 0 still means at once.
    void *shared = mmap(nullptr, sizeof(std::atomic<int>), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(MAP_FAILED, shared);
    ticks_seen = new (shared) std::atomic<int>(0);
    harness::Session session([](const Report &report) {
        struct sigaction sa {};
        sa.sa_handler = [](int) { ticks_seen->fetch_add(1); };
        if (sigaction(SIGALRM, &sa, nullptr) != 0)
            return report("no handler");
        (void)posix_kbhit();
        const itimerval often = {{0, 5000}, {0, 5000}};
        (void)setitimer(ITIMER_REAL, &often, nullptr);
        const auto start = std::chrono::steady_clock::now();
        const int timed_out = posix_kbwait(300);
        const auto waited = std::chrono::steady_clock::now() - start;
        const int at_once = posix_kbwait(0);
        const auto took = std::chrono::steady_clock::now() - start - waited;
        report("timed out " + std::to_string(timed_out) + " " +
               std::to_string(waited >= milliseconds(300)) + " " + std::to_string(at_once) + " " +
               std::to_string(took < seconds(2)));
        report("woken " + std::to_string(posix_kbwait(-1)));
    });
    EXPECT_EQ("timed out 0 1 0 1", session.next());
    // The key comes only once the child sleeps in the wait with no time-out,
    // and the timer has interrupted it there again and again.
    ASSERT_TRUE(harness::wait_asleep(session.pid(), seconds(5)));
    const int before = ticks_seen->load();
    const auto limit = std::chrono::steady_clock::now() + seconds(5);
    while (ticks_seen->load() < before + 10 && std::chrono::steady_clock::now() < limit)
        std::this_thread::sleep_for(milliseconds(1));
    ASSERT_GE(ticks_seen->load(), before + 10);
    ASSERT_TRUE(sandbox::write_all(session.master(), "k"));
    EXPECT_EQ("woken 1", session.next());
    EXPECT_EQ(0, session.finish());
    (void)munmap(shared, sizeof(std::atomic<int>));
}

TEST(ConsoleWait, APollThatFailsEndsTheProcessWithItsMessage)
{
    // The layer's one fatal poll failure: kbport closed behind its back.
    int ends[2];
    ASSERT_EQ(0, pipe2(ends, O_CLOEXEC));
    sandbox::Fd errors(ends[0]);
    sandbox::Fd errors_in(ends[1]);
    const int to = errors_in.get();
    harness::Session session([to](const Report &report) {
        (void)posix_kbhit();
        if (kbport < 0 || dup2(to, STDERR_FILENO) < 0 || close(kbport) != 0)
            return report("no console");
        report("closed");
        (void)posix_kbhit();
        report("went on");
    });
    errors_in.reset();
    EXPECT_EQ("closed", session.next());
    EXPECT_EQ(255, session.finish());
    std::string said;
    (void)harness::read_until(
        errors.get(), &said,
        [](const std::string &t) { return t.find("-1\n") != std::string::npos; },
        std::chrono::seconds(5));
    EXPECT_EQ("\nERROR:  posix_kbhit():  select() returned -1\n", said);
}

TEST(ConsoleWait, SignalsDuringPollsAreNotFatal)
{
    // A program with a signal handler of its own keeps running while it
    // polls; an interrupted poll is no key, not the end.
    harness::Session session([](const Report &report) {
        if (!catch_signal(SIGUSR1))
            return report("no handler");
        (void)posix_kbhit();
        const pid_t self = getpid();
        sandbox::Child spammer = sandbox::Child::run([self] {
            for (;;)
                kill(self, SIGUSR1);
            return 0;
        });
        int keys = 0;
        for (int i = 0; i < 20000; ++i)
            keys += posix_kbhit();
        report("keys " + std::to_string(keys));
    });
    EXPECT_EQ("keys 0", session.next(std::chrono::seconds(60)));
    EXPECT_EQ(0, session.finish());
}

TEST(ConsoleWait, TheWaitForAKeysNextByteIsTheBoundOrFourCharacterTimes)
{
    const int bound = console_key_wait_ms(nullptr);
    EXPECT_GT(bound, 0);
    const auto wait = [](speed_t in, speed_t out) {
        termios t{};
        cfsetispeed(&t, in);
        cfsetospeed(&t, out);
        return console_key_wait_ms(&t);
    };
    EXPECT_EQ(bound, wait(B38400, B38400));
    EXPECT_EQ(std::max(bound, 267), wait(B150, B150));
    EXPECT_EQ(std::max(bound, 34), wait(B1200, B9600)); // the input speed counts
    EXPECT_EQ(std::max(bound, 800), wait(B0, B50));     // input 0: "as output"
    EXPECT_EQ(bound, wait(B0, B0));
}

TEST(ConsoleName, IsTheControllingTerminal)
{
    EXPECT_STREQ(ctermid(nullptr), posix_console_name());
}

TEST(ConsoleSleep, SleepsTheGivenMilliseconds)
{
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(0, Sleep(30));
    EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(30));
    EXPECT_EQ(0, Sleep(0));
}

TEST(ConsoleSleep, ALargeCountIsAWrappedUnsignedProduct)
{
    // INT32_MAX * 1000 overflows a signed product (the sanitizer build stops
    // there at once); as an unsigned one it is a sleep of over an hour.
    sandbox::Child sleeper = sandbox::Child::run([] { return Sleep(INT32_MAX) == 0 ? 0 : 1; });
    EXPECT_FALSE(sleeper.wait_for(milliseconds(300)).has_value());
}

} // namespace
