// SPDX-License-Identifier: MIT
// radio-sim: plays the device at the far end of radio's serial line.  It
// shows every byte that arrives, what the byte means, and the state of the
// device's command lines, and counts what it received.
//
// With no arguments it is a demo that needs no hardware: radio runs in this
// terminal, and a pseudo-terminal takes the place of the serial port inside
// a private mount namespace, so the machine's own port is never opened.
// With --port PATH it listens on a real serial port instead.  With --keys
// it shows what the terminal sends for each key, and what radio makes of it.

#include "console/console.h"
#include "posix/standard_descriptors.h"
#include "radio/device.h"
#include "sandbox/sandbox.h"
#include "serial/serial.h"
#include "tools/key_viewer.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef RADIO_VERSION
#define RADIO_VERSION "unknown"
#endif

namespace {

// What a command byte shows as: its key.
std::string key_name(const Command &c)
{
    return c.key == ' ' ? "space" : std::string(1, static_cast<char>(c.key));
}

struct Device {
    unsigned char state = 0; // the lines, as the last command set them
    std::array<unsigned long, std::size(commands)> count{};
    unsigned long unknown = 0;
    unsigned long total = 0;
};

// One line per byte: what came, what it means, and the lines afterwards.
void receive(Device *device, unsigned char byte)
{
    ++device->total;
    const Command *command = command_for_byte(byte);
    if (command == nullptr) {
        ++device->unknown;
        printf("rx 0x%02x  UNKNOWN    not a command byte; lines unchanged\n", byte);
        return;
    }
    ++device->count[static_cast<size_t>(command - std::begin(commands))];
    device->state = byte;
    std::string shown;
    for (const Command &line : commands) {
        if (line.line == nullptr)
            continue;
        shown += ' ';
        shown += line.line;
        shown += (device->state & line.byte) != 0 ? " ON " : " -- ";
        shown += '|';
    }
    printf("rx 0x%02x  key %-6s|%s\n", byte, key_name(*command).c_str(), shown.c_str());
}

void print_summary(const Device &device, const char *how)
{
    printf("radio-sim: %s; %lu bytes received:", how, device.total);
    for (size_t i = 0; i < std::size(commands); ++i)
        printf(" %s=%lu", key_name(commands[i]).c_str(), device.count[i]);
    printf(" unknown=%lu\n", device.unknown);
    (void)fflush(stdout);
}

// Takes every byte that is waiting on the port, through the layer.
// Returns false when the port reports readable but yields nothing (it has
// gone away).
bool drain(int32_t port, Device *device)
{
    while (posix_com_dataready(port) != 0) {
        char byte = 0;
        if (posix_com_read(port, &byte) != 1)
            return false;
        receive(device, static_cast<unsigned char>(byte));
    }
    return true;
}

// The command keys as a user is told them: "8 2 4 6 9 7 or space", with
// the given word before the last.
std::string command_keys(const char *last_joint)
{
    std::string text;
    for (const Command &c : commands) {
        if (!text.empty())
            text += &c == std::end(commands) - 1 ? std::string(" ") + last_joint + " " : " ";
        text += key_name(c);
    }
    return text;
}

// The line's settings as a user is told them: "4800 baud 8N1".
std::string line_text()
{
    return std::to_string(device_line.baud) + " baud " + std::to_string(device_line.data_bits) +
           device_line.parity + std::to_string(device_line.stop_bits);
}

void usage(FILE *to)
{
    const std::string keys = command_keys("or");
    const std::string line = line_text();
    std::string lines;
    for (const Command &c : commands) {
        if (c.line != nullptr)
            lines += (lines.empty() ? "" : " ") + std::string(c.line);
    }
    (void)fprintf(to,
                  "Usage: radio-sim [--port PATH | --keys]\n"
                  "Plays the device at the far end of radio's serial line.\n"
                  "\n"
                  "With no arguments: a demo that needs no hardware.  radio runs in this\n"
                  "terminal; a pseudo-terminal stands in for %s inside a private\n"
                  "mount namespace, so the machine's own port is never opened.  Press\n"
                  "%s to send commands, Escape to end.  Each byte is\n"
                  "shown in hex with its key and the device's command lines\n"
                  "(%s).\n"
                  "radio-sim ends with a summary, and status 0 when radio ended\n"
                  "normally (Escape), else 1.\n"
                  "\n"
                  "  --port PATH   listen on a real serial port at %s (for\n"
                  "                radio on another machine, across a null-modem cable);\n"
                  "                Ctrl-C ends it with the summary\n"
                  "  --keys        for each key pressed, the bytes the terminal sent (hex),\n"
                  "                the gaps between them, and the key and command byte\n"
                  "                radio makes of them; Escape alone ends it\n"
                  "  --help        show this text\n"
                  "  --version     show the version\n"
                  "\n"
                  "Needs root, or unprivileged user namespaces, for the demo.\n",
                  device_port, keys.c_str(), lines.c_str(), line.c_str());
}

std::string radio_path()
{
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return "radio";
    std::string path(self, static_cast<size_t>(n));
    return path.substr(0, path.rfind('/') + 1) + "radio";
}

volatile sig_atomic_t stop_signal = 0;
void on_stop(int sig)
{
    stop_signal = sig;
}

// Listens on a real port until Ctrl-C or the port goes away.
int listen_on_port(const char *path)
{
    const int32_t port = posix_com_open(path, device_line.baud, device_line.parity,
                                        device_line.data_bits, device_line.stop_bits, CREAD);
    if (port == -1) {
        (void)fprintf(stderr, "radio-sim: cannot open %s at %s: %s\n", path, line_text().c_str(),
                      strerror(errno));
        return 1;
    }
    // The stop signals are let through only while waiting, so none is lost
    // between the test of the flag and the wait.
    sigset_t stops;
    sigset_t waiting;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigprocmask(SIG_BLOCK, &stops, &waiting);
    struct sigaction sa {};
    sa.sa_handler = on_stop;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    printf("radio-sim: listening on %s at %s; Ctrl-C ends\n", path, line_text().c_str());
    (void)fflush(stdout);
    Device device;
    bool open = true;
    while (open && stop_signal == 0) {
        pollfd p = {port, POLLIN, 0};
        if (ppoll(&p, 1, nullptr, &waiting) > 0)
            open = drain(port, &device);
    }
    print_summary(device, open ? "stopped" : "the port went away");
    (void)posix_com_close(port);
    return open ? 0 : 1;
}

// The signals that end a program from elsewhere.  In the demo each is
// caught where it is at its default (one ignored stays ignored: nohup) and
// passed on to radio, which puts the terminal back; then radio-sim ends by
// it too.  They are held off but in the wait, so that none is lost between
// the test of the flag and the wait; *waiting is the mask to wait with.
void catch_ending_signals(sigset_t *waiting)
{
    constexpr int ending[] = {SIGTERM, SIGHUP, SIGINT, SIGQUIT};
    sigset_t set;
    (void)sigemptyset(&set);
    for (const int sig : ending)
        (void)sigaddset(&set, sig);
    // Fails only for a bad "how".
    (void)sigprocmask(SIG_BLOCK, &set, waiting);
    struct sigaction sa {};
    sa.sa_handler = on_stop;
    for (const int sig : ending) {
        struct sigaction now {};
        if (sigaction(sig, nullptr, &now) == 0 && (now.sa_flags & SA_SIGINFO) == 0 &&
            now.sa_handler == SIG_DFL)
            (void)sigaction(sig, &sa, nullptr);
    }
}

// Ends radio-sim by sig, as it would have ended without its handler: the
// status its caller sees is the signal's.
int die_by(int sig)
{
    (void)signal(sig, SIG_DFL);
    (void)raise(sig);
    // cppcheck-suppress unreachableCode ; raise returns: sig is held off
    sigset_t only;
    (void)sigemptyset(&only);
    (void)sigaddset(&only, sig);
    (void)sigprocmask(SIG_UNBLOCK, &only, nullptr);
    return 1; // not reached: every caught signal ends a process by default
}

// How radio ended, as the closing lines say it.
std::string ending_of(int wait_status)
{
    if (WIFSIGNALED(wait_status))
        return "killed by signal " + std::to_string(WTERMSIG(wait_status));
    return "exited with status " + std::to_string(sandbox::shell_status(wait_status));
}

// radio, started in a private mount namespace where the pty at slave lies
// over its port, with the signal mask radio-sim had.  The child's pid is -1
// when it could not be started.
sandbox::Child start_radio(const std::string &radio, const std::string &slave, const sigset_t &mask)
{
    const pid_t sim = getpid();
    return sandbox::Child::spawn(
        [&] {
            // Held off, a signal would never reach radio.
            (void)sigprocmask(SIG_SETMASK, &mask, nullptr);
            // radio-sim killed (SIGKILL: nothing passes a signal on) would
            // leave radio reading keys behind the user's shell: it gets a
            // hang-up instead, and ends.  Asked before the check, so that a
            // radio-sim already gone is seen either way.
            if (prctl(PR_SET_PDEATHSIG, SIGHUP) != 0 || getppid() != sim)
                _exit(125);
            std::string why;
            if (!sandbox::enter_port_namespace(slave, device_port, &why)) {
                (void)fprintf(stderr, "radio-sim: cannot stand in for %s: %s\n", device_port,
                              why.c_str());
                _exit(125);
            }
        },
        {radio});
}

// Shows what arrives on port until radio ends, passing on an ending signal
// that comes meanwhile (waiting: the mask that lets it through); returns
// radio's wait status.
int receive_until_radio_ends(int32_t port, sandbox::Child *radio, Device *device,
                             const sigset_t &waiting)
{
    sandbox::Fd ended(sandbox::pidfd_of(radio->pid()));
    std::optional<int> status;
    bool passed_on = false;
    while (!status) {
        std::array<pollfd, 2> p = {{{port, POLLIN, 0}, {ended.get(), POLLIN, 0}}};
        // Without a pidfd, look at the child ten times a second.
        const timespec tenth = {0, 100000000};
        const int n = ppoll(p.data(), ended ? 2 : 1, ended ? nullptr : &tenth, &waiting);
        if (stop_signal != 0 && !passed_on) {
            // Continued too, as timeout(1) does: a radio stopped on its own
            // (kill -TSTP) would hold the signal pending, and the demo
            // could then be ended by nothing the user types.
            (void)kill(radio->pid(), stop_signal);
            (void)kill(radio->pid(), SIGCONT);
            passed_on = true;
        }
        if (n > 0 && (p[0].revents & POLLIN) != 0)
            (void)drain(port, device);
        if (n < 0 || !ended || p[1].revents != 0)
            status = radio->wait_for(std::chrono::milliseconds(0));
    }
    // Bytes radio wrote just before it ended may still be on their way
    // through the pty.
    pollfd last = {port, POLLIN, 0};
    while (poll(&last, 1, 100) > 0 && drain(port, device)) {
    }
    return *status;
}

// The demo: radio in this terminal, a pty in place of its serial port.
int demo()
{
    std::string why;
    if (!sandbox::stand_in_mounts(&why)) {
        (void)fprintf(stderr, "radio-sim: cannot stand in for %s: %s\n", device_port, why.c_str());
        return 1;
    }
    auto pty = sandbox::open_pty();
    if (!pty || !sandbox::make_raw(pty->slave)) {
        (void)fprintf(stderr, "radio-sim: cannot make a pseudo-terminal: %s\n", strerror(errno));
        return 1;
    }
    // Held open for the whole run: the master never sees a hang-up between
    // radio's writes, and bytes still in flight when radio ends survive.
    sandbox::Fd keep(open(pty->slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    const std::string radio = radio_path();
    printf("radio-sim: starting %s with a pseudo-terminal in place of %s\n"
           "radio-sim: keys %s send commands; Escape ends\n",
           radio.c_str(), device_port, command_keys("and").c_str());
    (void)fflush(stdout);

    // The terminal as the user had it, before radio puts it into key mode:
    // radio puts it back itself unless SIGKILL or a crash ends it.
    const std::unique_ptr<termios, decltype(&free)> saved(
        posix_get_termsettings(posix_console_name()), free);
    sigset_t waiting;
    catch_ending_signals(&waiting);
    sandbox::Child child = start_radio(radio, pty->slave, waiting);
    if (child.pid() < 0) {
        // No child to wait for: without this the demo would wait for ever
        // (a process limit reached, say).
        (void)fprintf(stderr, "radio-sim: cannot start %s: %s\n", radio.c_str(), strerror(errno));
        return 1;
    }
    Device device;
    const int status = receive_until_radio_ends(pty->master.get(), &child, &device, waiting);
    const int code = sandbox::shell_status(status);
    // radio's 1 is its normal end (Escape, console put back): the demo went
    // well, and a shell may chain what follows it.  On any other end the
    // user's terminal may still be in key mode.
    if (code != 1 && saved)
        (void)posix_set_termsettings(posix_console_name(), saved.get());
    const std::string ending = ending_of(status);
    print_summary(device, ("radio " + ending).c_str());
    if (stop_signal != 0)
        return die_by(stop_signal);
    if (code == 1)
        return 0;
    (void)fprintf(stderr, "radio-sim: radio did not end normally (%s)\n",
                  WIFSIGNALED(status) ? ending.c_str()
                                      : ("status " + std::to_string(code)).c_str());
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    // Nothing to tell, and nowhere safe to tell it: what it would print
    // could reach the port it listens on, or radio's stand-in port.
    if (!standard_descriptors_held())
        return 1;
    // A live display: each line shows as it is made, also into a pipe.
    (void)setvbuf(stdout, nullptr, _IOLBF, 0);
    // Ignored, as some launchers leave it, SIGCHLD would have the kernel
    // reap radio unseen: its end would never be known, and the demo would
    // spin on a pidfd that stays readable.  Its default is what we wait with.
    (void)signal(SIGCHLD, SIG_DFL);
    if (argc == 1)
        return demo();
    const std::string first = argv[1];
    if (argc == 2 && first == "--help") {
        usage(stdout);
        return 0;
    }
    if (argc == 2 && first == "--keys")
        return view_keys();
    if (argc == 2 && first == "--version") {
        // The port is built in: the version says which one was installed.
        printf("radio-sim %s (radio for %s)\n", RADIO_VERSION, device_port);
        return 0;
    }
    if (first == "--port" && argc == 3 && argv[2][0] != '\0')
        return listen_on_port(argv[2]);
    if (first == "--port" && (argc == 2 || argv[2][0] == '\0'))
        (void)fprintf(stderr, "radio-sim: --port needs a PATH\n");
    else
        (void)fprintf(stderr, "radio-sim: unexpected argument '%s'\n",
                      first == "--port" || argc > 2 ? argv[argc - 1] : argv[1]);
    (void)fprintf(stderr, "Try 'radio-sim --help'.\n");
    return 2;
}
