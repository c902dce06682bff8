/* SPDX-License-Identifier: MIT */
// What the rest of the console family shares with posix_restore_on_signals:
// key mode is applied through here, so that the handlers always know what is
// on the terminal, and the key wait learns of a stop.  Internal to the
// console family; not installed.
#ifndef RADIO_CONSOLE_SIGNALS_H
#define RADIO_CONSOLE_SIGNALS_H

#include <signal.h>
#include <termios.h>

// Applies key (key mode) to kbport at once and notes it for the handlers;
// returns whether tcsetattr succeeded, errno its.  Once the handlers are
// armed, with the handled signals held off, so that none finds key mode
// half-applied: a signal before it leaves the terminal as the user had it.
bool console_apply_key_mode(const struct termios *key);

// Set by the handlers when the process runs on after a stop (or gets
// SIGCONT); cleared by the wait, which then starts again in full.
extern volatile sig_atomic_t console_resumed;

#endif
