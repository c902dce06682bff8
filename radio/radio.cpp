// SPDX-License-Identifier: MIT
// radio: each command key typed on the console becomes one command byte on
// the serial line.  Escape ends the program and gives the console back its
// settings; so does any signal that ends or stops it, but SIGKILL.

#include "console/console.h"
#include "posix/standard_descriptors.h"
#include "posix/write_whole.h"
#include "radio/device.h"
#include "radio/key_text.h"
#include "serial/serial.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

int32_t myport = -1;

namespace {

// The console as the user had it.  Kept for the whole run, never released.
struct termios *saved_console = nullptr;

// Internal linkage: the socket call of the same name stays untouched.
int32_t send(char ch)
{
    return posix_com_write(myport, ch);
}

// Whether the last command byte failed to reach the port for a reason
// other than the port's going away.  One message says so, and another
// comes only after the port has worked again in between.
bool write_failing = false;

// A port that has gone away (a USB adapter pulled out, a board reset) is
// tried again this often while it is gone: it is back within half a second
// of coming back, and radio wakes twice a second meanwhile.
constexpr int32_t retry_ms = 500;

// While the port is gone (myport -1): the monotonic time of the next try.
int64_t next_try_ms = 0;

int64_t now_ms()
{
    timespec t{};
    (void)clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// The errors by which a write says that the device itself is gone: the
// driver's hang-up (EIO), a node whose device was removed (ENXIO, ENODEV).
bool port_gone_error(int error)
{
    return error == EIO || error == ENXIO || error == ENODEV;
}

// The port has gone: its descriptor is closed at once, since usb-serial
// and cdc-acm keep the tty's number until its last close (a device that
// came back while radio held it would be ttyUSB1, not ttyUSB0).  What
// waits in its output queue is stale, and discarded first, so that the
// close never waits for it to drain; on a port already hung up both fail,
// harmlessly.
void lose_port()
{
    (void)tcflush(myport, TCOFLUSH);
    (void)posix_com_close(myport);
    myport = -1;
    write_failing = false;
    next_try_ms = now_ms() + retry_ms;
    (void)fprintf(stderr, "\nERROR:  lost %s; waiting for it to come back\n", device_port);
}

// Opens the port again, with the start's settings and checks, without
// waiting: keys and Escape must not wait behind it.
void try_port()
{
    next_try_ms = now_ms() + retry_ms;
    myport = posix_com_open_nowait(device_port, device_line.baud, device_line.parity,
                                   device_line.data_bits, device_line.stop_bits, 0);
    if (myport != -1)
        (void)fprintf(stderr, "\nINFO:  %s is back\n", device_port);
}

// How long the key wait may last: for ever while the port is there, else
// until the next try.
int32_t wait_ms()
{
    if (myport != -1)
        return -1;
    const int64_t left = next_try_ms - now_ms();
    return left > 0 ? static_cast<int32_t>(left) : 0;
}

void send_command(unsigned char byte)
{
    // A key typed while the port is gone is dropped: sent later, it would
    // make the device act on a key pressed seconds ago.
    if (myport == -1)
        return;
    if (send(static_cast<char>(byte)) == 1) {
        write_failing = false;
        return;
    }
    if (port_gone_error(errno)) {
        lose_port();
        return;
    }
    if (!write_failing)
        (void)fprintf(stderr, "\nERROR:  unable to write to %s\n", device_port);
    write_failing = true;
}

void handle_key(signed char key)
{
    // A line of its own: a newline, what stands for the key (a control is
    // shown, never sent raw: key_text.h), a newline.
    char text[key_text_max];
    const size_t n = key_text(key, text);
    char echo[key_text_max + 2] = {'\n'};
    memcpy(echo + 1, text, n);
    echo[n + 1] = '\n';
    // One write(), at once.  Not stdio: a stdout that is not a terminal is
    // fully buffered, so the echo would wait in the buffer until radio ends
    // (and be lost if a signal ends it), and even a line-buffered stdout
    // splits its first write in two.  A failed echo is dropped: the key's
    // command byte matters more than its echo.
    (void)write_whole(STDOUT_FILENO, echo, n + 2);
    if (const Command *c = command_for_key(key))
        send_command(c->byte);
}

} // namespace

int main()
{
    // Nothing to tell, and nowhere safe to tell it: the port is not open.
    if (!standard_descriptors_held())
        return -1;
    // A reader of the echo that goes away (radio | tee, tee ended) would
    // otherwise kill radio with SIGPIPE, its console left in key mode; the
    // echo's write fails instead, and the keys still reach the device.
    (void)signal(SIGPIPE, SIG_IGN);
    myport = posix_com_open(device_port, device_line.baud, device_line.parity,
                            device_line.data_bits, device_line.stop_bits, 0);
    // Saved before the first poll changes anything: this is the console as
    // the user had it.
    saved_console = posix_get_termsettings(posix_console_name());
    if (myport == -1)
        return -1;
    // Killed from elsewhere (kill, timeout, a hang-up) or stopped by a
    // shell, radio would leave the user a terminal that neither echoes nor
    // edits lines.  Without a saved record there is nothing to put back,
    // and radio runs as before.
    (void)posix_restore_on_signals(saved_console);

    // Without a console nothing could ever end the loop below.
    (void)posix_kbhit();
    if (kbport == -1) {
        (void)fprintf(stderr, "\nERROR:  unable to open %s for key input\n", posix_console_name());
        return -1;
    }

    signed char key = 0;
    while (key != end_key) {
        if (myport == -1 && wait_ms() == 0)
            try_port();
        // Sleep until a key arrives, or the port hangs up, instead of
        // spinning on the poll; once the wait has seen a key, polling again
        // would only say so twice.  Bytes the device sends never wake it.
        if (posix_kbhit() == 0) {
            const int32_t woken = posix_kbwait_hangup(myport, wait_ms());
            if (woken == 2)
                lose_port();
            if (woken != 1)
                continue;
        }
        if (posix_getkey(&key) < 0) {
            // The terminal is gone (SIGHUP ignored, as under nohup): no key
            // can ever come again, and the echo has nowhere to go.
            (void)fprintf(stderr, "\nERROR:  console %s hung up\n", posix_console_name());
            return -1;
        }
        handle_key(key);
    }
    return posix_leave_key_mode(posix_console_name(), saved_console);
}
