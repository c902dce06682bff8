/* SPDX-License-Identifier: MIT */
// The settings record a port gets, and the check of what a driver kept of
// it, as pure functions, so that what a pseudo-terminal would hide (it
// forces 8 bits and drops parity) can be tested without a real line.
// Internal to the serial family.
#ifndef RADIO_SERIAL_LINE_RECORD_H
#define RADIO_SERIAL_LINE_RECORD_H

#include <stdint.h>
#include <termios.h>

// Checks the settings in a fixed order (data bits, stop bits, parity letter
// in either case, speed) and, when all are accepted, fills *record with the
// port's whole settings record, speeds included.  Returns false, *record
// untouched, for the first setting that is rejected.
bool serial_line_record(int32_t baud, char parity, int32_t databits, int32_t stopbits,
                        uint32_t cflags, struct termios *record);

// Whether the driver kept the frame and speeds of asked in got, the record
// read back.  A UART that lacks a setting (a mini UART has no parity and
// no 5 or 6 bits) keeps another one silently, and tcsetattr still reports
// success; a program that went on would talk to its device in the wrong
// frame.
bool serial_line_kept(const struct termios *got, const struct termios *asked);

#endif
