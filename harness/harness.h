/* SPDX-License-Identifier: MIT */
// Helpers for the tests, which the benchmark and the VM host share: a child
// with a pty as its controlling terminal, talking to a pty without either
// side waiting on the other, a process's CPU time, descriptor accounting.
// None of it ships.
#ifndef RADIO_HARNESS_HARNESS_H
#define RADIO_HARNESS_HARNESS_H

#include "sandbox/sandbox.h"

#include <chrono>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace harness {

// In a freshly forked child: becomes a session leader whose controlling
// terminal is the pty at slave, and (if std_streams) makes that pty its
// standard input, output and error.  Returns false with *why set.
bool take_terminal(const std::string &slave, bool std_streams, std::string *why);

// Runs body in a child that is a session leader without a terminal, as a
// daemon is, where the first terminal opened without O_NOCTTY becomes its
// own.  True when body succeeded and the child has still no terminal.
bool takes_no_terminal(const std::function<bool()> &body);

// Whether enter_port_namespace can work here for the port this build drives
// (tried in a throw-away child).
bool port_namespace_available(std::string *why);

// The fields of /proc/PID/stat after the command name, from the state on
// (fields 3 and later), or "" when the process is not there.  The name,
// which may hold spaces and parentheses, ends at the last ')'.
std::string stat_fields(pid_t pid);

// Waits until the process pid sleeps in the kernel (state S in its stat),
// as it does inside a blocking call: a child that has said it is about to
// wait is then waiting, whichever process ran first.  False on a time-out.
bool wait_asleep(pid_t pid, std::chrono::milliseconds limit);

// The CPU time a process has used so far, in nanoseconds (NAN if unknown).
double cpu_ns(pid_t pid);

// Writes input to fd while reading what fd gives into out, until all input
// is written and pred(out) holds, or the time runs out (then false).  For a
// pty master whose other side echoes: neither side ever waits on the other.
bool converse(int fd, const std::string &input, std::string *out,
              const std::function<bool(const std::string &)> &pred,
              std::chrono::milliseconds limit);

// Reads what is readable on fd into out until pred(out) holds or the time
// runs out.  Returns whether pred held.
bool read_until(int fd, std::string *out, const std::function<bool(const std::string &)> &pred,
                std::chrono::milliseconds limit);

// Reads what is readable on fd into out for the whole time: what a program
// writes, or whether it writes nothing more, in a given time.
void read_for(int fd, std::string *out, std::chrono::milliseconds limit);

// argv behind the wrapper that RADIO_TEST_WRAPPER names, if any: valgrind,
// say, or the emulator that runs a cross build's programs.
std::vector<std::string> command(std::vector<std::string> argv);

// How many descriptors this process has open.
int open_descriptors();

// The bytes in hex, "20 0a ...".
std::string hex(const std::string &bytes);

// radio's echo of presses each followed by an '8': "\n", the key's text,
// "\n" per key.  keys[i] is how many keys press i must give.  Returns "" when the
// echo is exactly that, else what went wrong, naming the press by names[i].
std::string echo_mismatch(const std::vector<int> &keys, const std::vector<std::string> &names,
                          const std::string &echo);

// A key press as a terminal sends it (docs/terminal-keys.md), and the
// command byte radio sends for it ("" for none).
struct SentKey {
    const char *name;
    std::string bytes;
    std::string command;
};
// Keys whose bytes a slow line or a network may deliver apart: the cursor
// and editing keys, F-keys as SS3 and as CSI, the application keypad's 8,
// modified keys, Alt+Up as rxvt-unicode sends it, Alt+8, Escape [ 5 6 ~.
const std::vector<SentKey> &keys_in_pieces();
// Writes each key to the pty master fd, each followed by an '8', while
// reading what fd gives into echo: the bytes one by one with gap between
// them, or (apart false) each key and each '8' in one write.  False when
// a write did not go through in time.
bool type_keys(int fd, const std::vector<SentKey> &keys, bool apart, std::chrono::milliseconds gap,
               std::string *echo);
// The command bytes those presses must send, the '8's among them.
std::string commands_of(const std::vector<SentKey> &keys);
// What is wrong with radio's echo of those presses ("" when nothing): each
// must be one key.  Carriage returns in echo are ignored.
std::string pieces_mismatch(const std::vector<SentKey> &keys, const std::string &echo);

// Waits until the pty behind master is out of canonical mode (a program has
// switched it to key mode).
bool wait_key_mode(int master, std::chrono::milliseconds limit);

// A forked child that is a session leader with a fresh pty as its
// controlling terminal.  The child reports back in lines of text.
class Session {
public:
    // body runs in the child; report() sends one line to the parent.
    using Report = std::function<void(const std::string &)>;
    // now: body runs at once; on_go: body waits for go(), so that the
    // parent can prepare the terminal first whichever process runs first.
    enum class Start { now, on_go };
    explicit Session(const std::function<void(const Report &)> &body, Start start = Start::now);

    // Lets an on_go body start.
    void go();
    // Closes the master: the child's terminal hangs up.
    void hang_up() { pty_.master.reset(); }

    int master() const { return pty_.master.get(); }
    pid_t pid() const { return child_.pid(); }
    const std::string &slave() const { return pty_.slave; }
    // The next line the child reported, or "<timeout>" / "<closed>".
    std::string next(std::chrono::milliseconds limit = std::chrono::seconds(5));
    // The child's exit status as a shell shows it, or -1 on a time-out.
    int finish(std::chrono::milliseconds limit = std::chrono::seconds(5));

private:
    sandbox::Pty pty_;
    sandbox::Fd reports_;
    sandbox::Fd go_;
    std::string pending_;
    sandbox::Child child_;
};

} // namespace harness

#endif
