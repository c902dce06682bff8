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
 *     keys.  Nothing here ever switches it back: a program that wants its
 *     terminal back saves the settings with posix_get_termsettings before
 *     its first posix_kbhit and applies them with posix_set_termsettings at
 *     its end.
 *   - kbport is -1 until the terminal has been opened; while it cannot be,
 *     posix_kbhit reports 0 and tries again on its next call.
 *   - An Escape starts a sequence only when the next byte is already there
 *     when the Escape is read; otherwise it is a key by itself.  Likewise a
 *     sequence ends where the bytes already there end: a terminal writes a
 *     whole key at once, a person cannot type the next key that fast.
 *   - A console that has gone away is reported (posix_getkey gives -1),
 *     never turned into keys; nothing here ends the process for it.
 *   - Two failures cannot be recovered from: the terminal's settings cannot
 *     be read when entering key mode, and the poll fails.  Each prints a
 *     message on standard error and ends the process with status -1.
 *   - errno after a result that reports failure (null, 0 from the settings
 *     functions, -1 from posix_getkey or Sleep): when a system call failed,
 *     errno is that call's (the clean-up after it never changes it); for a
 *     null argument it is EINVAL; end of file leaves it as it was.  After
 *     success, and after posix_kbhit and posix_kbwait, whose 0 only means
 *     "no key", errno is unspecified.
 *   - For one thread: kbport and the poll's time-out are process-wide.
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
 * at path, or null.  Never waits for carrier; leaves no descriptor open.
 */
struct termios *posix_get_termsettings(const char *path);

/*
 * Applies settings to the terminal at path at once.  Result: 1 when applied,
 * else 0 (also for a null argument).  Leaves no descriptor open.
 */
int32_t posix_set_termsettings(const char *path, const struct termios *settings);

/*
 * Never waits.  Result: 1 when a key is waiting, else 0.  The first call that
 * opens the terminal switches it into key mode.
 */
int32_t posix_kbhit(void);

/*
 * Waits until a key is waiting on kbport, or timeout_ms milliseconds have
 * passed (-1: no time-out).  Result: 1 when a key is waiting, else 0; 0 at
 * once when posix_kbhit has not opened the terminal.
 */
int32_t posix_kbwait(int32_t timeout_ms);

/*
 * Reads one key into *key (may wait for the first byte of it).  Result:
 *    1  it came from an escape sequence: Escape, '[', then bytes up to a
 *       final byte 0x40..0x7E or '$' (dropped), or up to where the bytes
 *       already waiting end; the key code is the low 8 bits of the leading
 *       number (0 without one).  No read inside a sequence waits.
 *    0  a plain key (127 arrives as 8; after an Escape with a byte at once,
 *       that byte), or nothing read, *key unchanged, while kbport is -1.
 *   -1  the console yielded nothing (end of file or an error, as a terminal
 *       that has hung up does); *key unchanged.  The caller decides what
 *       to do: no key will come again.
 * A read that a signal interrupts is made again, never reported as a key.
 */
signed char posix_getkey(signed char *key);

/* Suspends the thread for ms milliseconds.  Result: usleep's (0 or -1). */
int32_t Sleep(int32_t ms);

#ifdef __cplusplus
}
#endif

#endif
