/* SPDX-License-Identifier: MIT */
// Helpers shared by the tests: descriptor accounting and a child that owns
// a pty as its controlling terminal.
#ifndef RADIO_TESTS_SUPPORT_H
#define RADIO_TESTS_SUPPORT_H

#include "harness/harness.h"

#include <functional>
#include <string>

namespace support {

// How many descriptors this process has open.
int open_descriptors();

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
    const std::string &slave() const { return pty_.slave; }
    // The next line the child reported, or "<timeout>" / "<closed>".
    std::string next(std::chrono::milliseconds limit = std::chrono::seconds(5));
    // The child's exit status as a shell shows it, or -1 on a time-out.
    int finish(std::chrono::milliseconds limit = std::chrono::seconds(5));

private:
    harness::Pty pty_;
    harness::Fd reports_;
    harness::Fd go_;
    std::string pending_;
    harness::Child child_;
};

} // namespace support

#endif
