// SPDX-License-Identifier: MIT
// The terminal given back whatever signal ends or stops the process, for a
// caller that asks (posix_restore_on_signals), and key mode ended in one
// step with that care (posix_leave_key_mode).  Without the call, the layer
// installs no handler.

#include "console/signals.h"

#include "console/console.h"
#include "posix/errno_kept.h"

#include <cerrno>
#include <csignal>
#include <unistd.h>

volatile sig_atomic_t console_resumed = 0;

namespace {

// The signals handled, each only where it is at its default action:
//   SIGTERM SIGHUP SIGINT SIGQUIT   end the process: kill, timeout, pkill,
//                                   a session manager's hang-up
//   SIGTSTP SIGTTIN SIGTTOU         stop it: a shell's job control
//   SIGCONT                         lets it run on, also after SIGSTOP,
//                                   which no handler sees
constexpr int handled[] = {SIGTERM, SIGHUP, SIGINT, SIGQUIT, SIGTSTP, SIGTTIN, SIGTTOU, SIGCONT};
constexpr int handled_count = sizeof handled / sizeof handled[0];

// The handlers' view of the terminal.  Changed only while the handled
// signals are held off (or while no handler is armed), so that a handler
// never meets a record half-copied.
termios user_record{};                 // as the user had it: an end or a stop puts it back
termios key_record{};                  // key mode, as applied
volatile sig_atomic_t key_mode_on = 0; // key_record is on the terminal

// Which signals have the handler, and what each had before it: put back
// when key mode ends.
bool armed = false;
bool ours[handled_count] = {};
struct sigaction before[handled_count] = {};

sigset_t handled_set()
{
    sigset_t set;
    (void)sigemptyset(&set);
    for (const int sig : handled)
        (void)sigaddset(&set, sig);
    return set;
}

// sigprocmask fails only for a bad "how", and none is passed here.
void hold(sigset_t *was)
{
    const sigset_t set = handled_set();
    (void)sigprocmask(SIG_BLOCK, &set, was);
}

void let_through(const sigset_t *was)
{
    (void)sigprocmask(SIG_SETMASK, was, nullptr);
}

// Whether this process's group is the terminal's foreground group: only then
// is the terminal this process's to change.  From the background a change
// would overwrite the settings of the job in the foreground, or (SIGTTOU let
// through) stop the process; a terminal that has hung up answers -1.
bool in_front()
{
    if (kbport < 0)
        return false;
    const pid_t front = tcgetpgrp(kbport);
    return front != -1 && front == getpgrp();
}

// From a handler, so async-signal-safe calls only.  TCSANOW: TCSADRAIN would
// wait for ever behind output that an XOFF holds back.  A terminal that has
// gone away fails quietly: there is nothing left to put back.
void put(const termios *record)
{
    if (key_mode_on != 0 && in_front())
        (void)tcsetattr(kbport, TCSANOW, record);
}

void on_signal(int sig);

// SA_RESTART: a read, or a write to a port whose queue is full, that a stop
// interrupts is made again (posix_com_write never retries, so EINTR would
// lose a command).  The other handled signals wait while one is handled.
struct sigaction handler()
{
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sa.sa_mask = handled_set();
    sa.sa_flags = SA_RESTART;
    return sa;
}

void on_signal(int sig)
{
    const int why = errno;
    if (sig != SIGCONT) {
        put(&user_record);
        // The default action, the signal raised again and let through: an
        // ending signal ends the process here, by that signal, so that its
        // parent sees the status it would have seen without the handler; a
        // stop stops it here until SIGCONT.  In an orphaned process group
        // the kernel discards the stop, and this goes on at once.
        struct sigaction by_default {};
        by_default.sa_handler = SIG_DFL;
        (void)sigaction(sig, &by_default, nullptr);
        // A SIGCONT that came while this handler ran waits, held off: a
        // stop raised now would discard it, and nothing would ever let
        // the process run on.  It is the later word, so no stop.
        sigset_t pending;
        const bool continued = sig != SIGTERM && sig != SIGHUP && sig != SIGINT && sig != SIGQUIT &&
                               sigpending(&pending) == 0 && sigismember(&pending, SIGCONT) == 1;
        if (!continued)
            (void)raise(sig);
        // cppcheck-suppress unreachableCode ; raise returns: sig is held off
        sigset_t only;
        (void)sigemptyset(&only);
        (void)sigaddset(&only, sig);
        (void)sigprocmask(SIG_UNBLOCK, &only, nullptr);
        // Running again: held off before the handler is back, so that the
        // next stop waits until this handler has ended.
        (void)sigprocmask(SIG_BLOCK, &only, nullptr);
        const struct sigaction again = handler();
        (void)sigaction(sig, &again, nullptr);
    }
    console_resumed = 1;
    // After SIGSTOP nothing put the user's record back, and then this
    // applies what is already there: harmless.
    put(&key_record);
    errno = why;
}

// Gives every signal back what it had before.
void disarm()
{
    for (int i = 0; i < handled_count; ++i) {
        if (ours[i])
            (void)sigaction(handled[i], &before[i], nullptr);
        ours[i] = false;
    }
    armed = false;
}

} // namespace

bool console_apply_key_mode(const struct termios *key)
{
    if (!armed) {
        key_record = *key;
        key_mode_on = tcsetattr(kbport, TCSANOW, key) == 0 ? 1 : 0;
        return key_mode_on != 0;
    }
    sigset_t was;
    hold(&was);
    // Noted first: a stop during the background apply below must find it.
    key_record = *key;
    key_mode_on = 1;
    const bool front = in_front();
    const bool applied = front && tcsetattr(kbport, TCSANOW, key) == 0;
    if (front && !applied)
        key_mode_on = 0;
    keeping_errno([&was] { let_through(&was); });
    if (front)
        return applied;
    // From the background as without the handlers: the kernel stops the
    // process with SIGTTOU until it is in the foreground, where the handler
    // puts key mode on and this call is made again; an orphaned group's
    // call fails.  Held off, SIGTTOU would let the change through at once.
    if (tcsetattr(kbport, TCSANOW, key) == 0)
        return true;
    keeping_errno([&was] {
        hold(&was);
        key_mode_on = 0;
        let_through(&was);
    });
    return false;
}

extern "C" int32_t posix_restore_on_signals(const struct termios *settings)
{
    if (settings == nullptr) {
        errno = EINVAL;
        return 0;
    }
    sigset_t was;
    hold(&was);
    user_record = *settings;
    bool ok = true;
    if (!armed) {
        const struct sigaction sa = handler();
        for (int i = 0; ok && i < handled_count; ++i) {
            ok = sigaction(handled[i], nullptr, &before[i]) == 0;
            // An ignored signal stays ignored (nohup, a job that a script
            // starts in the background), and one the caller handles keeps
            // its handler.
            const bool by_default =
                (before[i].sa_flags & SA_SIGINFO) == 0 && before[i].sa_handler == SIG_DFL;
            if (ok && by_default) {
                ours[i] = sigaction(handled[i], &sa, nullptr) == 0;
                ok = ours[i];
            }
        }
        armed = true;
        if (!ok)
            keeping_errno(disarm);
    }
    keeping_errno([&was] { let_through(&was); });
    return ok ? 1 : 0;
}

extern "C" int32_t posix_leave_key_mode(const char *path, const struct termios *settings)
{
    if (!armed) {
        key_mode_on = 0;
        return posix_set_termsettings(path, settings);
    }
    // Held off from here until the handlers are gone: a stop between the
    // restore and the end would put key mode back on its way out, and an
    // ending signal before the restore would leave it on.
    sigset_t was;
    hold(&was);
    key_mode_on = 0;
    const bool front = in_front();
    const int32_t restored = front ? posix_set_termsettings(path, settings) : 0;
    keeping_errno([&was] {
        disarm();
        let_through(&was);
    });
    // From the background as without the handlers (see above); key mode is
    // not this process's there, since the stop that sent it there put the
    // user's record back.
    if (!front)
        return posix_set_termsettings(path, settings);
    return restored;
}
