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

// Whether the last command byte failed to reach the port.  A port that has
// gone away (a USB adapter pulled out) fails every write; one message says
// so, and another comes only after the port has worked again in between.
bool write_failing = false;

void send_command(unsigned char byte)
{
    if (send(static_cast<char>(byte)) == 1) {
        write_failing = false;
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
        // Sleep until a key arrives instead of spinning on the poll; once the
        // wait has seen one, polling again would only say so twice.
        if (posix_kbhit() == 0 && posix_kbwait(-1) == 0)
            continue;
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
