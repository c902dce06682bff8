// SPDX-License-Identifier: MIT
// The radio program end to end: a pty as its controlling terminal and
// standard streams, another pty in place of its serial port inside a private
// mount namespace.  The machine's own serial port is never opened.

#include "console/key_wait.h"
#include "harness/harness.h"
#include "sandbox/sandbox.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <poll.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

enum class Port { present, missing };
// terminal: a pty is its controlling terminal and standard streams;
// hangup_ignored: the same with SIGHUP ignored (as under nohup) and standard
// error on a pipe, so that a message survives the terminal; none: no
// controlling terminal, standard output and error on the pipe.
enum class Console { terminal, hangup_ignored, none };

// The pty that stands in for the serial port; one run of radio after
// another may use the same one.
struct PortLine {
    sandbox::Pty pty;
    // Held open so the master never reads a hang-up while radio is not (or
    // no longer) holding the slave.
    sandbox::Fd keep;

    static std::shared_ptr<PortLine> make()
    {
        auto pty = sandbox::open_pty();
        if (!pty)
            throw std::runtime_error("no pty");
        auto line = std::make_shared<PortLine>();
        line->pty = std::move(*pty);
        line->keep.reset(open(line->pty.slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
        (void)sandbox::make_raw(line->pty.slave);
        return line;
    }
};

// The port the radio under test was built for: this build's, or for the
// radio that RADIO_TEST_RADIO names (an unpacked package's) the one
// RADIO_TEST_PORT names.  A stand-in for any other port would let that
// radio open its real one: without the name, no radio is started.
std::string radio_port()
{
    if (getenv("RADIO_TEST_RADIO") == nullptr)
        return RADIO_PORT;
    const char *port = getenv("RADIO_TEST_PORT");
    if (port == nullptr || *port == '\0')
        throw std::runtime_error("RADIO_TEST_RADIO is set without RADIO_TEST_PORT, the port "
                                 "that radio was built for");
    return port;
}

// One run of radio.
class RadioRun {
public:
    // last: what the child does last before radio starts (a standard
    // descriptor closed or replaced).
    RadioRun(Port port_mode, Console console_mode,
             std::shared_ptr<PortLine> port = PortLine::make(),
             const std::function<void()> &last = {})
        : port_(std::move(port))
    {
        auto console_pty = sandbox::open_pty();
        int err[2];
        if (!console_pty || pipe2(err, O_CLOEXEC) != 0)
            throw std::runtime_error("no pty");
        console_ = std::move(*console_pty);
        stderr_.reset(err[0]);
        sandbox::Fd err_write(err[1]);
        if (tcgetattr(console_.master.get(), &console_at_start_) != 0)
            throw std::runtime_error("no console settings");

        const std::string console_slave = console_.slave;
        const std::string slave = port_mode == Port::present ? port_->pty.slave : "";
        const int err_fd = err_write.get();
        const std::string port_path = radio_port();
        child_ = sandbox::Child::spawn(
            [&] {
                std::string why;
                const bool ready = (console_mode != Console::none
                                        ? harness::take_terminal(console_slave, true, &why)
                                        : setsid() >= 0) &&
                                   sandbox::enter_port_namespace(slave, port_path, &why);
                if (!ready) {
                    (void)fprintf(stderr, "setup: %s\n", why.c_str());
                    _exit(125);
                }
                if (console_mode == Console::none)
                    (void)dup2(err_fd, 1);
                if (console_mode != Console::terminal)
                    (void)dup2(err_fd, 2);
                // Set either way: an ignored SIGHUP is inherited, and the
                // test may itself run under nohup.
                (void)signal(SIGHUP, console_mode == Console::hangup_ignored ? SIG_IGN : SIG_DFL);
                if (last)
                    last();
            },
            command());
    }

    // radio (the one RADIO_TEST_RADIO names, else this build's), behind the
    // test wrapper, if any.
    static std::vector<std::string> command()
    {
        const char *radio = getenv("RADIO_TEST_RADIO");
        return harness::command({radio != nullptr ? radio : RADIO_BIN});
    }

    int console() const { return console_.master.get(); }
    // Closes the console's master: radio's terminal hangs up.
    void hang_up() { console_.master.reset(); }
    pid_t pid() const { return child_.pid(); }
    const std::shared_ptr<PortLine> &port() const { return port_; }
    // Closes the port's master: the port hangs up and every later write to
    // it fails, as on a serial adapter that has been pulled out.
    void unplug_port() { port_->pty.master.reset(); }
    // Lays a new pty over the port's path in radio's namespace, as a
    // device plugged back in; from then on port() is that pty.
    bool replug_port()
    {
        auto line = PortLine::make();
        std::string why;
        if (!sandbox::lay_port_in(pid(), line->pty.slave, radio_port(), &why)) {
            ADD_FAILURE() << why;
            return false;
        }
        port_ = std::move(line);
        return true;
    }
    // Reads the console until its echo ends with text.
    bool echo_ends_with(const std::string &text)
    {
        return harness::read_until(
            console(), &echo_,
            [&](const std::string &s) {
                return s.size() >= text.size() &&
                       s.compare(s.size() - text.size(), text.size(), text) == 0;
            },
            seconds(5));
    }
    const termios &console_at_start() const { return console_at_start_; }

    bool ready() const { return harness::wait_key_mode(console(), seconds(5)); }

    // Types keys and waits for the bytes they send (count of them).
    std::string type(const std::string &keys, size_t bytes)
    {
        std::string got;
        const bool typed = harness::converse(
            console(), keys, &echo_, [](const std::string &) { return true; }, seconds(10));
        EXPECT_TRUE(typed);
        harness::read_until(
            port_->pty.master.get(), &got, [&](const std::string &s) { return s.size() >= bytes; },
            seconds(5));
        return got;
    }

    // Types keys with the given gap between their bytes (harness::type_keys)
    // and waits for the command bytes they send.
    std::string type_apart(const std::vector<harness::SentKey> &keys, milliseconds gap)
    {
        EXPECT_TRUE(harness::type_keys(console(), keys, true, gap, &echo_));
        const size_t bytes = harness::commands_of(keys).size();
        std::string got;
        harness::read_until(
            port_->pty.master.get(), &got, [&](const std::string &s) { return s.size() >= bytes; },
            seconds(5));
        return got;
    }

    // Sets the console's line speed, leaving the rest as it is.
    bool console_speed(speed_t speed) const
    {
        termios t{};
        return tcgetattr(console(), &t) == 0 && cfsetispeed(&t, speed) == 0 &&
               cfsetospeed(&t, speed) == 0 && tcsetattr(console(), TCSANOW, &t) == 0;
    }

    // Everything else the port received, once radio has ended.
    std::string rest_of_port() const
    {
        std::string got;
        harness::read_for(port_->pty.master.get(), &got, milliseconds(200));
        return got;
    }

    // radio's exit status; collects the console's echo meanwhile.
    int finish(milliseconds limit = seconds(10))
    {
        std::optional<int> status;
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!status && std::chrono::steady_clock::now() < end) {
            if (console_.master)
                harness::read_for(console(), &echo_, milliseconds(20));
            status = child_.wait_for(console_.master ? milliseconds(0) : milliseconds(20));
        }
        return status ? sandbox::shell_status(*status) : -1;
    }

    const std::string &echo() const { return echo_; }
    std::string errors()
    {
        std::string text;
        harness::read_for(stderr_.get(), &text, milliseconds(100));
        return text;
    }

private:
    sandbox::Pty console_;
    std::shared_ptr<PortLine> port_;
    sandbox::Fd stderr_;
    termios console_at_start_{};
    std::string echo_;
    sandbox::Child child_;
};

// What radio echoes for each key: a newline, the key's text, a newline,
// with the terminal's own NL -> CR NL.  Each text is given as shown.
std::string echoed(std::initializer_list<std::string> shown)
{
    std::string out;
    for (const std::string &k : shown)
        out += "\r\n" + k + "\r\n";
    return out;
}

// The same for keys that show as themselves, one key a character.
std::string echoed(const std::string &keys)
{
    std::string out;
    for (const char k : keys)
        out += echoed({std::string(1, k)});
    return out;
}

// The first byte in a terminal's output that the terminal would act on
// rather than show, in hex, or "" when there is none: Escape, any other C0
// control but CR and LF, DEL, and the 8-bit controls 0x80..0x9F.
std::string acted_on(const std::string &output)
{
    for (const char c : output) {
        const auto b = static_cast<unsigned char>(c);
        if ((b < 0x20 && b != '\r' && b != '\n') || (b >= 0x7F && b < 0xA0))
            return harness::hex(std::string(1, c));
    }
    return "";
}

bool same_settings(const termios &a, const termios &b)
{
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag;
}

class RadioTest : public testing::Test {
protected:
    void SetUp() override
    {
        static std::string why;
        static const bool available = harness::port_namespace_available(&why);
        if (!available)
            GTEST_SKIP() << "no private mount namespace here: " << why;
    }
};

TEST_F(RadioTest, EveryCommandKeySendsItsByteAndEscapeRestoresTheConsole)
{
    RadioRun radio(Port::present, Console::terminal);
    ASSERT_TRUE(radio.ready());
    EXPECT_EQ(std::string("\x20\x10\x08\x04\x02\x01\x00", 7), radio.type("824697 ", 7));
    // Keys in no row: echoed, nothing sent.  DEL arrives as backspace.  A
    // control key is shown, never sent raw, or the terminal would act on
    // it: Ctrl-S and F8 (Escape [ 1 9 ~, key 19) would stop a serial
    // console's far end, Ctrl-N switch the character set, Ctrl-E ask for an
    // answerback, 0x9B open a control sequence, Escape swallow what the
    // shell prints next.
    radio.type("a\r\x7f", 0);
    radio.type("\x13\x1b[19~\x0e\x05\x9b", 0);
    radio.type("\x1b", 0);
    EXPECT_EQ(1, radio.finish());
    EXPECT_EQ("", radio.rest_of_port());
    EXPECT_EQ(echoed("824697 ") + echoed({"a", "^M", "^H", "^S", "^S", "^N", "^E", "M-^["}) +
                  echoed({"^["}),
              radio.echo());
    EXPECT_EQ("", acted_on(radio.echo()));
    termios end{};
    ASSERT_EQ(0, tcgetattr(radio.console(), &end));
    EXPECT_TRUE(same_settings(radio.console_at_start(), end));
}

TEST_F(RadioTest, CursorKeysDoNotSwallowTheKeysAfterThem)
{
    RadioRun radio(Port::present, Console::terminal);
    ASSERT_TRUE(radio.ready());
    EXPECT_EQ("\x20", radio.type("\x1b[A8", 1));
    // A sequence's number counts as the key with that code.
    EXPECT_EQ("\x10", radio.type("\x1b[50~", 1));
    radio.type("\x1b[27~", 0); // 27 is Escape
    EXPECT_EQ(1, radio.finish());
    EXPECT_EQ("", radio.rest_of_port());
    EXPECT_EQ(echoed({"^@", "8", "2", "^["}), radio.echo());
}

// The echo of presses typed by type_apart, then Escape: "" when each press
// was one key.
std::string presses_mismatch(const std::vector<harness::SentKey> &keys, const std::string &echo)
{
    const std::string escape = echoed({"^["});
    if (echo.size() < escape.size() ||
        echo.compare(echo.size() - escape.size(), escape.size(), escape) != 0)
        return "radio did not echo Escape last";
    return harness::pieces_mismatch(keys, echo.substr(0, echo.size() - escape.size()));
}

TEST_F(RadioTest, AKeyWhoseBytesArriveApartIsStillOneKey)
{
    // Byte by byte, as a slow line or a network delivers keys: no gap, a
    // 9600-baud line, and a busy link.  Each key is followed by an 8.
    const auto &keys = harness::keys_in_pieces();
    for (const int gap : {0, 1, 5, 20}) {
        RadioRun radio(Port::present, Console::terminal);
        ASSERT_TRUE(radio.ready());
        EXPECT_EQ(harness::hex(harness::commands_of(keys)),
                  harness::hex(radio.type_apart(keys, milliseconds(gap))))
            << gap << " ms apart";
        radio.type("\x1b", 0);
        EXPECT_EQ(1, radio.finish());
        EXPECT_EQ("", radio.rest_of_port());
        EXPECT_EQ("", presses_mismatch(keys, radio.echo())) << gap << " ms apart";
    }
}

TEST_F(RadioTest, OnASlowConsoleFourCharacterTimesDecideTheWait)
{
    // At 75 baud four characters take 534 ms, far past the build's bound:
    // bytes 250 ms apart are still one key, and Escape waits that long.
    const int bound = console_key_wait_ms(nullptr);
    ASSERT_LT(bound, 250) << "a build whose bound is this long proves nothing here";
    const std::vector<harness::SentKey> keys = {harness::keys_in_pieces().front(),
                                                harness::keys_in_pieces().back()};
    RadioRun radio(Port::present, Console::terminal);
    ASSERT_TRUE(radio.ready());
    ASSERT_TRUE(radio.console_speed(B75));
    EXPECT_EQ(harness::hex(harness::commands_of(keys)),
              harness::hex(radio.type_apart(keys, milliseconds(250))));
    const auto start = std::chrono::steady_clock::now();
    radio.type("\x1b", 0);
    EXPECT_EQ(1, radio.finish());
    EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(534));
    EXPECT_EQ("", presses_mismatch(keys, radio.echo()));
}

TEST_F(RadioTest, EscapeAloneEndsItOnceTheWaitHasPassed)
{
    const milliseconds bound(console_key_wait_ms(nullptr));
    RadioRun radio(Port::present, Console::terminal);
    ASSERT_TRUE(radio.ready());
    const auto start = std::chrono::steady_clock::now();
    radio.type("\x1b", 0);
    EXPECT_EQ(1, radio.finish());
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, bound);
    // The margin holds on a loaded machine; a wait that were not bounded,
    // or measured from something else than the Escape, would pass it.
    EXPECT_LT(took, bound + milliseconds(400));
}

TEST_F(RadioTest, RunsAgainOnThePortOfItsLastRun)
{
    const auto port = PortLine::make();
    for (int run = 0; run < 2; ++run) {
        RadioRun radio(Port::present, Console::terminal, port);
        ASSERT_TRUE(radio.ready()) << "run " << run;
        EXPECT_EQ("\x20", radio.type("8", 1));
        radio.type("\x1b", 0);
        EXPECT_EQ(1, radio.finish());
    }
}

TEST_F(RadioTest, APortPulledOutIsReportedAtOnceAndRadioCarriesOnWhenItIsBack)
{
    RadioRun radio(Port::present, Console::terminal);
    ASSERT_TRUE(radio.ready());
    EXPECT_EQ("\x20", radio.type("8", 1));
    const std::string lost =
        "\r\nERROR:  lost " + radio_port() + "; waiting for it to come back\r\n";
    const std::string back = "\r\nINFO:  " + radio_port() + " is back\r\n";
    radio.unplug_port();
    ASSERT_TRUE(radio.echo_ends_with(lost)) << "no word of the pull without a key";
    // While the port is gone radio wakes only to look for it.
    const double before = harness::cpu_ns(radio.pid());
    radio.type("2a", 0);
    std::this_thread::sleep_for(milliseconds(700));
    EXPECT_LT(harness::cpu_ns(radio.pid()) - before, 50e6) << "nanoseconds of CPU while it waits";

    ASSERT_TRUE(radio.replug_port());
    ASSERT_TRUE(radio.echo_ends_with(back)) << "no word that the port is back";
    // The first byte the new port gets is that of the key typed now: the
    // 2 typed while it was gone is never sent.
    EXPECT_EQ("\x08", radio.type("4", 1));
    termios line{};
    ASSERT_EQ(0, tcgetattr(radio.port()->pty.master.get(), &line));
    EXPECT_EQ(B4800, cfgetispeed(&line));
    EXPECT_EQ(B4800, cfgetospeed(&line));
    EXPECT_EQ(0U, line.c_cflag & CSTOPB);
    EXPECT_NE(0U, line.c_cflag & CLOCAL);

    radio.type("\x1b", 0);
    EXPECT_EQ(1, radio.finish());
    EXPECT_EQ("", radio.rest_of_port());
    EXPECT_EQ(echoed("8") + lost + echoed("2a") + back + echoed("4") + echoed({"^["}),
              radio.echo());
    termios end{};
    ASSERT_EQ(0, tcgetattr(radio.console(), &end));
    EXPECT_TRUE(same_settings(radio.console_at_start(), end));
}

TEST_F(RadioTest, WithoutItsSerialPortItEndsAtOnceAndSilently)
{
    RadioRun radio(Port::missing, Console::terminal);
    EXPECT_EQ(255, radio.finish());
    EXPECT_EQ("", radio.echo());
    termios end{};
    ASSERT_EQ(0, tcgetattr(radio.console(), &end));
    EXPECT_TRUE(same_settings(radio.console_at_start(), end));
}

TEST_F(RadioTest, AClosedStandardDescriptorNeverPutsTextOnThePort)
{
    // Closed, standard output or error would be the number the port gets:
    // the echo, or the message, would reach the device as commands.
    {
        RadioRun radio(Port::present, Console::terminal, PortLine::make(),
                       [] { (void)close(STDOUT_FILENO); });
        ASSERT_TRUE(radio.ready());
        EXPECT_EQ(harness::hex(std::string("\x20\x10\x00", 3)),
                  harness::hex(radio.type("82 a", 3)));
        radio.type("\x1b", 0);
        EXPECT_EQ(1, radio.finish());
        EXPECT_EQ("", radio.rest_of_port());
        EXPECT_EQ("", radio.echo());
    }
    {
        RadioRun radio(Port::present, Console::none, PortLine::make(),
                       [] { (void)close(STDERR_FILENO); });
        EXPECT_EQ(255, radio.finish());
        EXPECT_EQ("", harness::hex(radio.rest_of_port()));
    }
}

TEST_F(RadioTest, EachEchoIsOneWriteAtOnceWhereverStandardOutputGoes)
{
    // A record socket keeps each write apart: one record a key is one write,
    // and a record before Escape is an echo that did not wait in a buffer
    // (stdio fully buffers an output that is not a terminal).
    {
        int ends[2];
        ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends));
        sandbox::Fd mine(ends[0]);
        sandbox::Fd theirs(ends[1]);
        const int out = theirs.get();
        RadioRun radio(Port::present, Console::terminal, PortLine::make(),
                       [out] { (void)dup2(out, STDOUT_FILENO); });
        theirs.reset();
        ASSERT_TRUE(radio.ready());
        const auto next_write = [&] {
            pollfd p = {mine.get(), POLLIN, 0};
            char record[64];
            const ssize_t n =
                poll(&p, 1, 5000) == 1 ? recv(mine.get(), record, sizeof record, 0) : -1;
            return n < 0 ? std::string("<none>") : std::string(record, static_cast<size_t>(n));
        };
        EXPECT_EQ(harness::hex(std::string(1, '\0')), harness::hex(radio.type(" ", 1)));
        EXPECT_EQ("\n \n", next_write());
        EXPECT_EQ(harness::hex("\x20"), harness::hex(radio.type("8", 1)));
        EXPECT_EQ("\n8\n", next_write());
        radio.type("\x13", 0);
        EXPECT_EQ("\n^S\n", next_write());
        radio.type("\x1b", 0);
        EXPECT_EQ(1, radio.finish());
    }
    // A pipe whose reader is gone (radio | tee, tee ended): radio neither
    // dies of SIGPIPE, its console left in key mode, nor stops sending.
    {
        int ends[2];
        ASSERT_EQ(0, pipe2(ends, O_CLOEXEC));
        sandbox::Fd theirs(ends[1]);
        (void)close(ends[0]);
        const int out = theirs.get();
        RadioRun radio(Port::present, Console::terminal, PortLine::make(), [out] {
            (void)dup2(out, STDOUT_FILENO);
            // As a shell starts it, not as this test runs.
            (void)signal(SIGPIPE, SIG_DFL);
        });
        theirs.reset();
        ASSERT_TRUE(radio.ready());
        EXPECT_EQ(harness::hex("\x20\x10"), harness::hex(radio.type("82", 2)));
        radio.type("\x1b", 0);
        EXPECT_EQ(1, radio.finish());
        termios end{};
        ASSERT_EQ(0, tcgetattr(radio.console(), &end));
        EXPECT_TRUE(same_settings(radio.console_at_start(), end));
    }
}

TEST_F(RadioTest, WithoutAControllingTerminalItSaysSoAndEnds)
{
    RadioRun radio(Port::present, Console::none);
    EXPECT_EQ(255, radio.finish());
    EXPECT_EQ("\nERROR:  unable to open /dev/tty for key input\n", radio.errors());
    EXPECT_EQ("", radio.rest_of_port());
}

TEST_F(RadioTest, AConsoleThatHangsUpEndsItAtOnce)
{
    // With SIGHUP at its default the signal ends radio, as any program;
    // ignored, radio sees the console gone and ends by itself, idle meanwhile.
    for (const Console mode : {Console::terminal, Console::hangup_ignored}) {
        RadioRun radio(Port::present, mode);
        ASSERT_TRUE(radio.ready());
        const double before = harness::cpu_ns(radio.pid());
        radio.hang_up();
        if (mode == Console::terminal) {
            EXPECT_EQ(128 + SIGHUP, radio.finish(seconds(1)));
            continue;
        }
        std::this_thread::sleep_for(milliseconds(100));
        const double used = harness::cpu_ns(radio.pid()) - before;
        EXPECT_EQ(255, radio.finish(seconds(1)));
        EXPECT_LT(used, 20e6) << "nanoseconds of CPU used after the hang-up";
        EXPECT_EQ("\nERROR:  console /dev/tty hung up\n", radio.errors());
        EXPECT_EQ("", radio.rest_of_port());
    }
}

// A signal from elsewhere (kill, timeout, a session manager's hang-up).
class RadioSignalTest : public RadioTest, public testing::WithParamInterface<int> {};

TEST_P(RadioSignalTest, ASignalFromElsewherePutsTheConsoleBackAndEndsRadioByIt)
{
    const int sig = GetParam();
    RadioRun radio(Port::present, Console::terminal, PortLine::make(), [sig] {
        // At its default, as a shell starts radio; SIGQUIT dumps no core.
        const rlimit no_core = {0, 0};
        (void)setrlimit(RLIMIT_CORE, &no_core);
        (void)signal(sig, SIG_DFL);
    });
    ASSERT_TRUE(radio.ready());
    EXPECT_EQ("\x20", radio.type("8", 1));
    ASSERT_EQ(0, kill(radio.pid(), sig));
    EXPECT_EQ(128 + sig, radio.finish());
    termios end{};
    ASSERT_EQ(0, tcgetattr(radio.console(), &end));
    EXPECT_TRUE(same_settings(radio.console_at_start(), end));
}

INSTANTIATE_TEST_SUITE_P(EndingSignals, RadioSignalTest,
                         testing::Values(SIGTERM, SIGHUP, SIGINT, SIGQUIT),
                         [](const testing::TestParamInfo<int> &info) {
                             return std::string(sigabbrev_np(info.param));
                         });

TEST_F(RadioTest, StoppedOrStartedInTheBackgroundByAShellItTakesKeysAfterFg)
{
    // radio as a shell runs it: a process group of its own, in a session
    // whose leader holds the terminal.  Started as a session leader, its
    // group would be orphaned, and the kernel would discard the stop.  In
    // the foreground it is stopped (Ctrl-Z); started with '&', key mode
    // stops it itself, before the terminal is touched.  Either way fg
    // brings key mode back, with no message.
    for (const bool background : {false, true}) {
        SCOPED_TRACE(background ? "started with &" : "stopped in the foreground");
        const auto port = PortLine::make();
        int ends[2];
        ASSERT_EQ(0, pipe2(ends, O_CLOEXEC));
        sandbox::Fd resume_read(ends[0]);
        sandbox::Fd resume(ends[1]);
        const std::string port_slave = port->pty.slave;
        harness::Session shell(
            [&](const harness::Session::Report &report) {
                // Ignored while it hands the terminal over and takes it back.
                (void)signal(SIGTTOU, SIG_IGN);
                const sandbox::Fd tty(open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
                int go[2];
                if (!tty || pipe2(go, O_CLOEXEC) != 0)
                    return report("no terminal");
                sandbox::Fd go_read(go[0]);
                sandbox::Fd go_write(go[1]);
                sandbox::Child radio = sandbox::Child::spawn(
                    [&] {
                        std::string why;
                        char word = 0;
                        // Started once in its place: in the foreground, or
                        // in a group of its own in the background.
                        if (setpgid(0, 0) != 0 || read(go_read.get(), &word, 1) != 1 ||
                            signal(SIGTTOU, SIG_DFL) == SIG_ERR ||
                            signal(SIGTSTP, SIG_DFL) == SIG_ERR || dup2(tty.get(), 0) < 0 ||
                            dup2(tty.get(), 1) < 0 || dup2(tty.get(), 2) < 0 ||
                            !sandbox::enter_port_namespace(port_slave, RADIO_PORT, &why))
                            _exit(125);
                    },
                    RadioRun::command());
                const pid_t pid = radio.pid();
                int status = 0;
                // Either side's setpgid may come first.
                if (pid < 0 || (setpgid(pid, pid) != 0 && errno != EACCES) ||
                    (!background && tcsetpgrp(tty.get(), pid) != 0) ||
                    !sandbox::write_all(go_write.get(), "g"))
                    return report("cannot start radio");
                report("radio " + std::to_string(pid));
                if (waitpid(pid, &status, WUNTRACED) != pid || !WIFSTOPPED(status))
                    return report("did not stop");
                (void)tcsetpgrp(tty.get(), getpgrp());
                report("stopped by " + std::to_string(WSTOPSIG(status)));
                char word = 0;
                if (read(resume_read.get(), &word, 1) != 1 || tcsetpgrp(tty.get(), pid) != 0 ||
                    kill(-pid, SIGCONT) != 0)
                    return report("cannot continue radio");
                report("continued");
                const auto end = radio.wait_for(seconds(20));
                report(end ? "exit " + std::to_string(sandbox::shell_status(*end)) : "no end");
            },
            harness::Session::Start::on_go);
        termios before{};
        ASSERT_EQ(0, tcgetattr(shell.master(), &before));
        shell.go();
        const std::string started = shell.next();
        ASSERT_EQ(0U, started.rfind("radio ", 0)) << started;
        const pid_t pid = std::stoi(started.substr(6));
        if (!background) {
            ASSERT_TRUE(harness::wait_key_mode(shell.master(), seconds(5)));
            ASSERT_EQ(0, kill(pid, SIGTSTP));
        }
        ASSERT_EQ("stopped by " + std::to_string(background ? SIGTTOU : SIGTSTP), shell.next());
        termios stopped{};
        ASSERT_EQ(0, tcgetattr(shell.master(), &stopped));
        EXPECT_TRUE(same_settings(before, stopped));

        ASSERT_TRUE(sandbox::write_all(resume.get(), "g"));
        EXPECT_EQ("continued", shell.next());
        ASSERT_TRUE(harness::wait_key_mode(shell.master(), seconds(5)));
        std::string echo;
        std::string sent;
        EXPECT_TRUE(harness::converse(
            shell.master(), "8", &echo, [](const std::string &) { return true; }, seconds(10)));
        EXPECT_TRUE(harness::read_until(
            port->pty.master.get(), &sent, [](const std::string &got) { return !got.empty(); },
            seconds(5)));
        EXPECT_EQ("20", harness::hex(sent));
        EXPECT_TRUE(harness::converse(
            shell.master(), "\x1b", &echo, [](const std::string &) { return true; }, seconds(10)));
        EXPECT_EQ("exit 1", shell.next(seconds(20)));
        harness::read_for(shell.master(), &echo, milliseconds(100));
        EXPECT_EQ(std::string::npos, echo.find("ERROR")) << echo;
        termios end{};
        ASSERT_EQ(0, tcgetattr(shell.master(), &end));
        EXPECT_TRUE(same_settings(before, end));
        EXPECT_EQ(0, shell.finish());
    }
}

TEST_F(RadioTest, InAnOrphanedGroupItLeavesTheConsoleAloneAndStillEndsOnASignal)
{
    // radio, the session leader, with another job in the foreground: no
    // parent of its group is in the session, so its group is orphaned, and
    // the kernel refuses its change of the terminal instead of stopping it.
    RadioRun radio(Port::present, Console::terminal, PortLine::make(), [] {
        const pid_t job = fork();
        if (job == 0) {
            // Holds none of the test's descriptors; ends with radio's
            // session (SIGHUP), or on its own.
            for (int fd = 0; fd < 1024; ++fd)
                (void)close(fd);
            (void)setpgid(0, 0);
            (void)alarm(60);
            (void)pause();
            _exit(0);
        }
        if (job < 0 || (setpgid(job, job) != 0 && errno != EACCES) ||
            tcsetpgrp(STDIN_FILENO, job) != 0)
            _exit(124);
    });
    ASSERT_TRUE(radio.echo_ends_with("unable to set tty attributes for /dev/tty\r\n"));
    ASSERT_EQ(0, kill(radio.pid(), SIGTERM));
    EXPECT_EQ(128 + SIGTERM, radio.finish(seconds(5)));
    termios end{};
    ASSERT_EQ(0, tcgetattr(radio.console(), &end));
    EXPECT_TRUE(same_settings(radio.console_at_start(), end));
}

TEST_F(RadioTest, WaitingForAKeyCostsNoCpu)
{
    RadioRun radio(Port::present, Console::terminal);
    ASSERT_TRUE(radio.ready());
    // radio never reads its port: what the device says must not wake it.
    ASSERT_TRUE(sandbox::write_all(radio.port()->pty.master.get(), "device talks"));
    const double before = harness::cpu_ns(radio.pid());
    std::this_thread::sleep_for(seconds(1));
    const double used = harness::cpu_ns(radio.pid()) - before;
    EXPECT_LT(used, 20e6) << "nanoseconds of CPU used in a second of waiting";
    EXPECT_EQ("\x01", radio.type("7", 1)); // still awake to keys
    radio.type("\x1b", 0);
    EXPECT_EQ(1, radio.finish());
}

} // namespace
