// SPDX-License-Identifier: MIT
// radio inside real terminal emulators, pressed with real key events: an X
// server (Xvfb), xterm, rxvt-unicode, and tmux inside xterm, keys typed
// through XTEST (xdotool) into the focused window.  The terminal runs in a
// private mount namespace with a pty over radio's port; radio's echo goes
// to a second pty, so that each run can be read back exactly.
//
// What the terminals send for each key was recorded with a raw-mode logger
// in each of them (docs/terminal-keys.md); the outcomes below follow from
// those recordings and the key rules.  Where no X server or terminal can be
// started the tests skip, and fail under CI=true.

#include "harness/harness.h"
#include "sandbox/sandbox.h"

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <optional>
#include <sstream>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// The program's full path from PATH, or "".
std::string program(const std::string &name)
{
    const char *path = getenv("PATH");
    std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        std::string full = dir;
        full += "/";
        full += name;
        if (access(full.c_str(), X_OK) == 0)
            return full;
    }
    return "";
}

// Runs a program to its end; its standard output, or nullopt when it
// failed.
std::optional<std::string> run(std::vector<std::string> argv)
{
    argv[0] = program(argv[0]);
    int out[2];
    if (argv[0].empty() || pipe2(out, O_CLOEXEC) != 0)
        return std::nullopt;
    sandbox::Fd read_end(out[0]);
    sandbox::Fd write_end(out[1]);
    const int fd = write_end.get();
    sandbox::Child child = sandbox::Child::spawn([fd] { (void)dup2(fd, 1); }, argv);
    write_end.reset();
    std::string text;
    harness::read_for(read_end.get(), &text, seconds(10));
    const auto status = child.wait_for(seconds(10));
    if (!status || sandbox::shell_status(*status) != 0)
        return std::nullopt;
    return text;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// One X server for the whole suite.
class XServer {
public:
    static XServer &get()
    {
        static XServer server;
        return server;
    }
    bool up() const { return !display_.empty(); }
    const std::string &display() const { return display_; }
    const std::string &why() const { return why_; }

private:
    XServer()
    {
        int ends[2];
        const std::string xvfb = program("Xvfb");
        if (xvfb.empty() || pipe2(ends, O_CLOEXEC) != 0) {
            why_ = "no Xvfb";
            return;
        }
        sandbox::Fd read_end(ends[0]);
        sandbox::Fd write_end(ends[1]);
        const int fd = write_end.get();
        // -displayfd: the server picks a free display and names it on fd 3.
        server_ = sandbox::Child::spawn(
            [fd] {
                (void)dup2(fd, 3);
                const int null = open("/dev/null", O_WRONLY);
                (void)dup2(null, 2);
            },
            {xvfb, "-displayfd", "3", "-screen", "0", "1024x768x24", "-nolisten", "tcp"});
        write_end.reset();
        std::string number;
        (void)harness::read_until(
            read_end.get(), &number,
            [](const std::string &s) { return s.find('\n') != std::string::npos; }, seconds(20));
        if (number.empty()) {
            why_ = "Xvfb did not start";
            return;
        }
        display_ = ":" + number.substr(0, number.find('\n'));
    }

    sandbox::Child server_;
    std::string display_;
    std::string why_;
};

// Runs a program that talks to the X server.
std::optional<std::string> x(std::vector<std::string> argv)
{
    (void)setenv("DISPLAY", XServer::get().display().c_str(), 1);
    return run(std::move(argv));
}

enum class Term { xterm, urxvt, tmux_in_xterm };
// The keypad and cursor keys' mode, set by the shell before radio starts,
// as a full-screen program leaves it.
enum class Mode { normal, keypad, cursor };

const char *name(Term t)
{
    switch (t) {
    case Term::xterm: return "xterm";
    case Term::urxvt: return "rxvt-unicode";
    default: return "tmux in xterm";
    }
}

// The keypad's digit keys, by X keycode: with NumLock on or off the same
// key, whose keysym (KP_8 or KP_Up) NumLock chooses.
const std::map<std::string, char> keypad = {{"80", '8'}, {"88", '2'}, {"83", '4'}, {"85", '6'},
                                            {"81", '9'}, {"79", '7'}, {"90", '0'}};

// The command byte of a key, if it has one.
std::string command_byte(char key)
{
    const std::map<char, char> bytes = {{'8', 0x20}, {'2', 0x10}, {'4', 0x08}, {'6', 0x04},
                                        {'9', 0x02}, {'7', 0x01}, {' ', 0x00}};
    const auto b = bytes.find(key);
    return b == bytes.end() ? "" : std::string(1, b->second);
}

// What one press must give: how many keys radio echoes, and the bytes on
// the port.  From the recordings: the keypad sends its digits with NumLock
// on; with it off, cursor and editing keys, except rxvt-unicode's in
// application keypad mode (Escape O x for its 8).  Alt+8 is Escape 8 in
// rxvt-unicode and UTF-8 text (C2 B8, two keys) in xterm and tmux.
struct Outcome {
    int keys;
    std::string bytes;
};

Outcome expected(Term term, Mode mode, bool numlock, const std::string &key)
{
    if (key == "8" || key == "2")
        return {1, command_byte(key[0])};
    if (key == "space")
        return {1, command_byte(' ')};
    const auto pad = keypad.find(key);
    if (pad != keypad.end()) {
        const bool digits = numlock || (term == Term::urxvt && mode == Mode::keypad);
        return {1, digits ? command_byte(pad->second) : ""};
    }
    if (key == "alt+8")
        return term == Term::urxvt ? Outcome{1, command_byte('8')} : Outcome{2, ""};
    return {1, ""};
}

const std::vector<std::string> every_key = {
    "8",        "2",       "space",  "80",       "88",      "83",     "85",    "81",
    "79",       "90",      "Up",     "Down",     "Left",    "Right",  "F1",    "F2",
    "F3",       "F4",      "F5",     "F6",       "F7",      "F8",     "F9",    "F10",
    "F11",      "F12",     "Home",   "End",      "Insert",  "Delete", "Prior", "Next",
    "shift+Up", "ctrl+Up", "alt+Up", "shift+F1", "ctrl+F1", "alt+F1", "alt+8"};
// What a mode changes: the keypad, the cursor keys, Home and End.
const std::vector<std::string> mode_keys = {"80", "88",   "83",   "85",    "81",   "79", "90",
                                            "Up", "Down", "Left", "Right", "Home", "End"};

// NumLock on or off, as xset reports the keyboard's LED.
bool set_numlock(bool on)
{
    const auto state = x({"xset", "q"});
    if (!state)
        return false;
    const bool now = state->find("Num Lock:    on") != std::string::npos;
    return now == on || x({"xdotool", "key", "Num_Lock"}).has_value();
}

// One run of radio in a terminal.
class TerminalRun {
public:
    // on_screen: radio's echo goes to the terminal itself, after a line of
    // the shell's, and the shell prints "cafe" as soon as radio has ended,
    // then stays, so that the screen can be read back (tmux only).
    TerminalRun(Term term, Mode mode, bool on_screen = false)
        : term_(term), mode_(mode), on_screen_(on_screen)
    {
        char dir[] = "/tmp/radio-terminal.XXXXXX";
        if (mkdtemp(dir) == nullptr)
            throw std::runtime_error("no temporary folder");
        dir_ = dir;
        auto port = sandbox::open_pty();
        auto echo = sandbox::open_pty();
        if (!port || !echo || !sandbox::make_raw(port->slave) || !sandbox::make_raw(echo->slave))
            throw std::runtime_error("no pty");
        port_ = std::move(*port);
        echo_ = std::move(*echo);
        holds_.emplace_back(open(port_.slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
        holds_.emplace_back(open(echo_.slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
        title_ = "radio-keys-" + std::to_string(getpid()) + "-" + std::to_string(++runs_);
        start();
    }

    ~TerminalRun()
    {
        if (term_ == Term::tmux_in_xterm)
            (void)run({"tmux", "-L", title_, "kill-server"});
        (void)run({"rm", "-rf", dir_});
    }
    TerminalRun(const TerminalRun &) = delete;
    TerminalRun &operator=(const TerminalRun &) = delete;

    // Waits for radio's key mode, then gives the window the keyboard.
    bool ready()
    {
        const auto limit = std::chrono::steady_clock::now() + seconds(20);
        while (std::chrono::steady_clock::now() < limit) {
            const std::string tty = read_file(dir_ + "/tty");
            const std::string path = tty.substr(0, tty.find('\n'));
            const int fd = path.empty() ? -1 : open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
            termios t{};
            const bool key_mode = fd >= 0 && tcgetattr(fd, &t) == 0 && (t.c_lflag & ICANON) == 0;
            if (fd >= 0)
                (void)close(fd);
            if (key_mode)
                return x({"xdotool", "search", "--sync", "--name", title_, "windowfocus", "--sync"})
                    .has_value();
            std::this_thread::sleep_for(milliseconds(20));
        }
        return false;
    }

    // Presses each key, each followed by '8'; checks the echo and the port.
    void press(const std::vector<std::string> &keys, bool numlock)
    {
        std::vector<std::string> args = {"xdotool", "key", "--delay", "40"};
        std::vector<int> counts;
        counts.reserve(keys.size());
        std::string bytes;
        size_t echoes = 0;
        for (const std::string &k : keys) {
            args.insert(args.end(), {k, "8"});
            const Outcome want = expected(term_, mode_, numlock, k);
            counts.push_back(want.keys);
            bytes += want.bytes + "\x20";
            echoes += static_cast<size_t>(want.keys) + 1;
        }
        ASSERT_TRUE(x(args).has_value());
        std::string echo;
        std::string sent;
        (void)harness::read_until(
            echo_.master.get(), &echo,
            [&](const std::string &s) {
                return static_cast<size_t>(std::count(s.begin(), s.end(), '\n')) >= 2 * echoes;
            },
            seconds(10));
        (void)harness::read_until(
            port_.master.get(), &sent,
            [&](const std::string &s) { return s.size() >= bytes.size(); }, seconds(5));
        // Anything more is a key too many.
        harness::read_for(echo_.master.get(), &echo, milliseconds(150));
        EXPECT_EQ("", harness::echo_mismatch(counts, keys, echo))
            << name(term_) << ", NumLock " << numlock << "; echo " << harness::hex(echo);
        EXPECT_EQ(harness::hex(bytes), harness::hex(sent))
            << name(term_) << ", NumLock " << numlock;
    }

    // The screen, as tmux holds it, once it shows text; "" when it never
    // does.
    std::string screen_once_it_shows(const std::string &text)
    {
        const auto limit = std::chrono::steady_clock::now() + seconds(10);
        std::string screen;
        while (std::chrono::steady_clock::now() < limit) {
            screen = run({"tmux", "-L", title_, "capture-pane", "-p"}).value_or("");
            if (screen.find(text) != std::string::npos)
                return screen;
            std::this_thread::sleep_for(milliseconds(20));
        }
        return screen;
    }

    // Escape: radio ends with 1 and the terminal is as before.
    void end()
    {
        ASSERT_TRUE(x({"xdotool", "key", "Escape"}).has_value());
        const auto limit = std::chrono::steady_clock::now() + seconds(10);
        while (read_file(dir_ + "/after").empty() && std::chrono::steady_clock::now() < limit)
            std::this_thread::sleep_for(milliseconds(20));
        EXPECT_EQ("1\n", read_file(dir_ + "/status")) << name(term_);
        EXPECT_EQ(read_file(dir_ + "/before"), read_file(dir_ + "/after")) << name(term_);
        EXPECT_TRUE(terminal_.wait_for(seconds(10)).has_value()) << name(term_) << " did not end";
    }

private:
    // Starts the terminal in the port's namespace, radio inside it.
    void start()
    {
        const char *modes[] = {"", "\\033=", "\\033[?1h"};
        const std::string output = on_screen_ ? "" : " > " + echo_.slave + " 2>&1";
        const std::string script = "printf '" + std::string(modes[static_cast<int>(mode_)]) +
                                   "'; " + (on_screen_ ? "echo 'a line before radio'; " : "") +
                                   "stty -g > " + dir_ + "/before; tty > " + dir_ + "/tty; " +
                                   RADIO_BIN + output + "; echo $? > " + dir_ + "/status; " +
                                   (on_screen_ ? "printf cafe; " : "") + "stty -g > " + dir_ +
                                   "/after.tmp; mv " + dir_ + "/after.tmp " + dir_ + "/after" +
                                   (on_screen_ ? "; sleep 60" : "");
        std::vector<std::string> argv;
        switch (term_) {
        case Term::xterm: argv = {program("xterm"), "-T", title_, "-e", "sh", "-c", script}; break;
        case Term::urxvt:
            argv = {program("urxvt"), "-title", title_, "-e", "sh", "-c", script};
            break;
        default:
            argv = {program("xterm"), "-T", title_,      "-e",          "tmux", "-L",
                    title_,           "-f", "/dev/null", "new-session", script};
        }
        const std::string slave = port_.slave;
        const std::string display = XServer::get().display();
        terminal_ = sandbox::Child::spawn(
            [&] {
                std::string why;
                if (!sandbox::enter_port_namespace(slave, RADIO_PORT, &why)) {
                    (void)fprintf(stderr, "setup: %s\n", why.c_str());
                    _exit(125);
                }
                (void)setenv("DISPLAY", display.c_str(), 1);
                // A UTF-8 locale, as on a desktop: xterm then sends Alt+8 as
                // UTF-8 text, as recorded.
                (void)setenv("LC_ALL", "C.UTF-8", 1);
                const int null = open("/dev/null", O_WRONLY);
                (void)dup2(null, 2);
            },
            argv);
    }

    Term term_;
    Mode mode_;
    bool on_screen_;
    std::string dir_;
    std::string title_;
    sandbox::Pty port_;
    sandbox::Pty echo_;
    std::vector<sandbox::Fd> holds_;
    sandbox::Child terminal_;
    static inline int runs_ = 0;
};

// Why the terminals cannot run here, or "".
std::string why_no_terminals()
{
    std::string why;
    if (!harness::port_namespace_available(&why))
        return "no private mount namespace: " + why;
    if (!XServer::get().up())
        return XServer::get().why();
    if (program("xdotool").empty() || program("xset").empty() || program("xterm").empty() ||
        program("urxvt").empty() || program("tmux").empty())
        return "xdotool, xset, xterm, rxvt-unicode or tmux is missing (scripts/deps)";
    return "";
}

// Called from SetUp: without the terminals a test is skipped, and under CI,
// which installs them, it fails instead of passing unseen.
void need_terminals()
{
    const std::string why = why_no_terminals();
    if (why.empty())
        return;
    const char *ci = getenv("CI");
    if (ci != nullptr && std::string(ci) == "true")
        FAIL() << why;
    GTEST_SKIP() << why;
}

class TerminalKeys : public testing::TestWithParam<Term> {
protected:
    void SetUp() override { need_terminals(); }
};

class TerminalScreen : public testing::Test {
protected:
    void SetUp() override { need_terminals(); }
};

TEST_P(TerminalKeys, EveryKeyIsOneKeyInEachMode)
{
    for (const Mode mode : {Mode::normal, Mode::keypad, Mode::cursor}) {
        TerminalRun radio(GetParam(), mode);
        ASSERT_TRUE(radio.ready()) << name(GetParam()) << ": radio never reached key mode";
        for (const bool numlock : {true, false}) {
            ASSERT_TRUE(set_numlock(numlock));
            radio.press(mode == Mode::normal && numlock ? every_key : mode_keys, numlock);
        }
        radio.end();
    }
}

TEST_F(TerminalScreen, WhatIsPrintedAfterRadioIsWholeAndTheScreenIsKept)
{
    // radio's echo on the screen itself, Escape's among it: a terminal
    // that took a raw Escape would complete a sequence with the first
    // letter printed after radio (Escape c resets the whole screen).
    TerminalRun radio(Term::tmux_in_xterm, Mode::normal, true);
    ASSERT_TRUE(radio.ready()) << "radio never reached key mode";
    ASSERT_TRUE(x({"xdotool", "key", "--delay", "40", "8", "ctrl+n", "Escape"}).has_value());
    const std::string screen = radio.screen_once_it_shows("\ncafe");
    EXPECT_NE(std::string::npos, screen.find("\ncafe")) << screen;
    EXPECT_NE(std::string::npos, screen.find("a line before radio\n")) << screen;
    EXPECT_NE(std::string::npos, screen.find("\n8\n\n^N\n\n^[\n")) << screen;
}

std::string test_name(const testing::TestParamInfo<Term> &info)
{
    switch (info.param) {
    case Term::xterm: return "xterm";
    case Term::urxvt: return "rxvt_unicode";
    default: return "tmux_in_xterm";
    }
}

INSTANTIATE_TEST_SUITE_P(Terminals, TerminalKeys,
                         testing::Values(Term::xterm, Term::urxvt, Term::tmux_in_xterm), test_name);

} // namespace
