/* SPDX-License-Identifier: MIT */
// Key mode, as a pure change to a terminal-settings record, so that what a
// pseudo-terminal would hide can be tested without a real line.  Internal to
// the console family.
#ifndef RADIO_CONSOLE_KEY_MODE_H
#define RADIO_CONSOLE_KEY_MODE_H

#include <termios.h>

// Changes the record read from the terminal into key mode; every field not
// named in key_mode.cpp's table keeps the terminal's own value.
void console_key_mode(struct termios *t);

#endif
