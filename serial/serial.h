/* SPDX-License-Identifier: MIT */
/*
 * serial.h - the serial line: open a device with a complete set of line
 * settings, write and read single bytes, write strings, poll for input.
 *
 * Principles of operation
 *   - A port handle is a plain file descriptor held by the caller.  The value
 *     -1 means "no port": every function that takes a handle accepts it and
 *     returns 0 without a system call.  A handle that is polled must be below
 *     FD_SETSIZE; any other negative or too-large handle is treated as no
 *     port by the poll.
 *   - The functions keep no state, print nothing (except a failed poll) and
 *     never retry: one call, one system call per byte.
 *   - posix_com_open builds the whole settings record itself; it does not
 *     inherit anything from whatever last used the device.  The receiver is
 *     off unless the caller passes CREAD in cflags.
 *   - errno after a result that reports failure (-1, or 0 where 1 means
 *     success): when a system call failed, errno is that call's (the
 *     clean-up after it never changes it); when the arguments were rejected
 *     (bad line settings, a null device, buffer or string, a handle the poll
 *     cannot take), it is EINVAL.  The handle -1 is no port, not a mistake,
 *     and end of file is no error: both leave errno as it was.  After
 *     success errno is unspecified.
 *
 * Usable from C and C++; needs only <stdint.h> and <termios.h>.
 */
#ifndef RADIO_SERIAL_SERIAL_H
#define RADIO_SERIAL_SERIAL_H

#include <stdint.h>
#include <termios.h>

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Opens device (O_RDWR | O_NOCTTY, blocking: the open may wait for carrier
 * unless the device already ignores its modem lines) and applies baud
 * (50..115200, one of the 17 classic rates; 134 means 134.5), parity
 * ('N', 'O', 'E', either case), databits (5..8) and stopbits (1, 2), with
 * cflags OR-ed into the control-mode word beside CLOCAL.
 * Result: the new handle, or -1.  Arguments are checked before the device is
 * touched; after a failure nothing is left open.  The settings are read back
 * once applied: when the driver kept another character size, parity, stop
 * bits or speed (a UART without that setting does so silently), the result
 * is -1 with errno EINVAL.  A pseudo-terminal slave, told by its device
 * number, is exempt: it has no line, forces 8 bits without parity and the
 * receiver on, and stands in for a port; it is accepted when all else was
 * applied, also when it held the record already.
 * Reads on the handle wait until at least one byte has arrived (VMIN 1,
 * VTIME 0): poll with posix_com_dataready first to avoid waiting.
 */
int32_t posix_com_open(const char *device, int32_t baud, char parity, int32_t databits,
                       int32_t stopbits, uint32_t cflags);

/*
 * posix_com_open, but the open never waits, for carrier or anything else:
 * for a program that must stay responsive while it opens a port again (a
 * USB adapter plugged back in).  Same arguments, checks, record and
 * result; the handle then behaves as posix_com_open's (blocking, CLOCAL).
 */
int32_t posix_com_open_nowait(const char *device, int32_t baud, char parity, int32_t databits,
                              int32_t stopbits, uint32_t cflags);

/* One write(2) of the byte ch.  Result: 1 when it was written, else 0. */
int32_t posix_com_write(int32_t fd, char ch);

/* Result: 0 for the handle -1, else what close(2) returned (0 or -1). */
int32_t posix_com_close(int32_t fd);

/*
 * Never waits.  Result: 1 when a read would not wait (a pending byte, but
 * also end of file or a line error), else 0.  A failing poll prints
 * "\nERROR:  dataready():  select() returned -1\n" on standard error.
 */
int32_t posix_com_dataready(int32_t fd);

/* One read(2) of one byte into *buf.  Result: 1 when a byte was read. */
int32_t posix_com_read(int32_t fd, char *buf);

/*
 * Hands every byte of str to posix_com_write, whatever each write's result.
 * Result: the number of bytes handed over (strlen(str)); 0 for a null str.
 */
int32_t posix_com_write_string(int32_t fd, const char *str);

#ifdef __cplusplus
}
#endif

#endif
