/* SPDX-License-Identifier: MIT */
/*
 * console.h - single keys from the controlling terminal, saving and applying
 * terminal settings, and a millisecond delay.
 *
 * Principles of operation
 *   - Keys are read from the controlling terminal opened by name (ctermid),
 *     never from standard input, so they arrive even when standard input is
 *     redirected.  The first posix_kbhit opens it into kbport and switches it
 *     to key mode: every byte readable at once, nothing echoed, no signal
 *     keys.  Nothing here switches it back unasked: a program that wants
 *     its terminal back saves the settings with posix_get_termsettings
 *     before its first posix_kbhit and applies them with
 *     posix_set_termsettings at its end.  A signal that ends or stops the
 *     process leaves key mode on, unless the program has asked for the
 *     settings back then too with posix_restore_on_signals (and ends with
 *     posix_leave_key_mode).  Nothing here installs a signal handler
 *     otherwise.
 *   - kbport is -1 until the terminal has been opened; while it cannot be,
 *     posix_kbhit reports 0 and tries again on its next call.
 *   - One key press is one key, also when its bytes arrive apart.  A
 *     terminal writes a whole key at once, but a slow serial line, a
 *     network (serial-over-LAN, a terminal server) or a busy machine may
 *     deliver it in pieces.  So after a byte that leaves a key unfinished
 *     (an Escape, or a sequence before its final byte) posix_getkey waits
 *     a short, bounded time for the next: 100 ms (the build's
 *     RADIO_KEY_WAIT_MS), or four character times at the console's input
 *     speed when that is longer (267 ms at 150 baud), as a UART decides
 *     that a burst has ended.  100 ms is what editors commonly wait after
 *     an Escape: longer than a link's pause, shorter than a person needs to
 *     type the next key.  An Escape with nothing following within the wait
 *     is the Escape key, so Escape takes that long to act; Escape and a key
 *     within it is Alt+key.  A sequence ends at its final byte, or where
 *     the bytes stop coming.  A plain first byte is never waited after.
 *     The rules are posix_getkey's.
 *   - A console that has gone away is reported (posix_getkey gives -1),
 *     never turned into keys; nothing here ends the process for it.
 *   - Two failures cannot be recovered from: the terminal's settings cannot
 *     be read when entering key mode, and the poll fails.  Each prints a
 *     message on standard error and ends the process with status -1.
 *     Key mode that the terminal refuses is reported there too ("unable to
 *     set tty attributes for" the terminal), and keys are read all the
 *     same; otherwise nothing here prints.
 *   - errno after a result that reports failure (null, 0 from the settings
 *     functions, posix_restore_on_signals and posix_leave_key_mode, -1 from
 *     posix_getkey or Sleep): when a system call failed, errno is that
 *     call's (the clean-up after it never changes it); for a null argument
 *     it is EINVAL; end of file leaves it as it was.  After success, and
 *     after posix_kbhit, posix_kbwait and posix_kbwait_hangup, whose 0 only
 *     means "no key", errno is unspecified.
 *   - For one thread: kbport, the poll's time-out and the signal handling
 *     are process-wide.
 *
 * Usable from C and C++; needs only <stdint.h> and <termios.h>.
 */
#ifndef RADIO_CONSOLE_CONSOLE_H
#define RADIO_CONSOLE_CONSOLE_H

#include <stdint.h>
#include <termios.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The controlling terminal opened for key input, or -1. */
extern int32_t kbport;

/* The controlling terminal's path (ctermid); storage owned by the platform. */
const char *posix_console_name(void);

/*
 * A new heap record (release with free) holding the settings of the terminal
 * at path, or null.  Never waits for carrier; leaves no descriptor open;
 * never makes that terminal the caller's controlling terminal, not even in
 * a session that has none.
 */
struct termios *posix_get_termsettings(const char *path);

/*
 * Applies settings to the terminal at path at once.  Result: 1 when applied,
 * else 0 (also for a null argument).  Leaves no descriptor open; never
 * makes that terminal the caller's controlling terminal.
 */
int32_t posix_set_termsettings(const char *path, const struct termios *settings);

/*
 * Never waits.  Result: 1 when a key is waiting, else 0.  The first call that
 * opens the terminal switches it into key mode.
 */
int32_t posix_kbhit(void);

/*
 * Waits until a key is waiting on kbport, or timeout_ms milliseconds have
 * passed (-1: no time-out).  A signal does not cut the wait short: it goes
 * on for what is left of the time-out.  Result: 1 when a key is waiting (or
 * the terminal has hung up, so that a read would not wait), else 0; 0 at
 * once when posix_kbhit has not opened the terminal.
 */
int32_t posix_kbwait(int32_t timeout_ms);

/*
 * posix_kbwait, also watching the descriptor fd for its hang-up: a serial
 * port whose USB adapter has been pulled out, or a pseudo-terminal whose
 * far end has closed.  fd is watched for nothing else: bytes that arrive
 * on it never end the wait, so a device that talks does not wake the
 * caller.  A negative fd (no port) is not watched.
 * Result:
 *    2  fd has hung up, is in error or is no open descriptor; a key may be
 *       waiting too, and stays for the next call;
 *    1  a key is waiting (or the terminal has hung up);
 *    0  the time ran out; at once when posix_kbhit has not opened the
 *       terminal, fd unwatched then.
 * A signal does not cut the wait short, as for posix_kbwait.
 */
int32_t posix_kbwait_hangup(int32_t fd, int32_t timeout_ms);

/*
 * Reads one key into *key: waits for its first byte, and after a byte that
 * leaves the key unfinished, at most the wait (above) for the next; a byte
 * that ends the key is never waited after.  "Following" below means
 * "arriving within the wait".  Keys:
 *   - a byte is that key; 127 (DEL) is 8; bytes 0x80..0xFF are keys of
 *     their own (UTF-8 text; 8-bit control sequences are not decoded);
 *   - Escape with nothing following is 27; Escape and one byte (Alt+key)
 *     is that byte unchanged (Escape DEL is 127);
 *   - Escape '[' or Escape 'O' with a byte following starts a sequence:
 *     parameters up to a final byte 0x40..0x7E or '$' (dropped), or up to
 *     where the bytes stop coming.  Its code is the low 8 bits of its
 *     leading number held to the 32-bit range (Escape [ 4294967352 ~ is -1,
 *     not 56), 0 without one; after Escape 'O' with no parameters 'j'..'y'
 *     (the application keypad) give '*' .. '9', and 'M' (its Enter) 13;
 *   - Escape '[' '[' and one more byte (the Linux console's F1..F5) is 0;
 *   - Escape Escape and a sequence (Alt with a cursor or function key) is
 *     that sequence's key; Escape Escape and another byte is that byte.
 * Result:
 *    1  the key came from a sequence;
 *    0  a plain key, or nothing read, *key unchanged, while kbport is -1;
 *   -1  the console yielded nothing (end of file or an error, as a terminal
 *       that has hung up does); *key unchanged.  The caller decides what
 *       to do: no key will come again.  A console that goes away in the
 *       middle of a key, or during the wait, leaves the key its bytes so
 *       far make.
 * A read that a signal interrupts is made again, never reported as a key;
 * a wait that a signal interrupts goes on for what is left of it.
 */
signed char posix_getkey(signed char *key);

/*
 * Opt-in: the terminal back whatever signal ends or stops the process.
 * Keeps a copy of settings (the record saved before the first posix_kbhit)
 * and gives these signals a handler, each only where it is at its default
 * action: a signal ignored stays ignored (nohup), one the caller handles
 * keeps its handler.  While key mode is on:
 *   - SIGTERM, SIGHUP, SIGINT, SIGQUIT put settings back, and the process
 *     then dies by that signal (default action, raised again), so that its
 *     parent sees the status it would have seen without the handler;
 *   - SIGTSTP, SIGTTIN, SIGTTOU put settings back and stop the process; when
 *     it runs on, key mode is applied again.  In an orphaned process group
 *     the kernel discards the stop, and it goes on in key mode at once;
 *   - SIGCONT applies key mode again, harmless when nothing changed (after
 *     SIGSTOP, which no handler sees).
 * The handler touches the terminal only while the process's group is its
 * foreground group, and only with tcsetattr (TCSANOW) on kbport; a
 * terminal that has gone away fails quietly.  Key mode is applied (by
 * posix_kbhit) and ended (by posix_leave_key_mode) with these signals held
 * off, so none finds it half-done; from the background the change itself
 * is made with them let through, so that SIGTTOU stops the process as it
 * would without the handlers.  A wait of posix_kbwait or posix_getkey
 * that a stop interrupts starts again in full once the process runs on, so
 * that a stop never splits a key.  A read or write that a handled signal
 * interrupts is made again (SA_RESTART).  Meant for before the first
 * posix_kbhit; key mode already on is covered from the call on.  A second
 * call only replaces the copy.  Result: 1 when armed, else 0 (also for a
 * null argument, which arms nothing).
 */
int32_t posix_restore_on_signals(const struct termios *settings);

/*
 * posix_set_termsettings, and the end of what posix_restore_on_signals
 * began, in one step with the handled signals held off: no stop can put key
 * mode back once settings are on the terminal, and no ending signal can
 * come before; one that came meanwhile takes its default action after.
 * Every handled signal gets back what it had before.  Result and errno as
 * posix_set_termsettings; without posix_restore_on_signals it is just that.
 */
int32_t posix_leave_key_mode(const char *path, const struct termios *settings);

/* Suspends the thread for ms milliseconds.  Result: usleep's (0 or -1). */
int32_t Sleep(int32_t ms);

#ifdef __cplusplus
}
#endif

#endif
