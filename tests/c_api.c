/* SPDX-License-Identifier: MIT */
/* A C program that calls every function of the layer through its headers:
 * proves they are C, with C linkage, and need nothing else included. */
#include "console/console.h"
#include "serial/serial.h"

#include <stdio.h>

static int failures = 0;

static void expect(int ok, const char *what)
{
    if (!ok) {
        (void)fprintf(stderr, "c_api: %s\n", what);
        ++failures;
    }
}

int main(void)
{
    char byte = 'k';
    signed char key = 'q';
    struct termios settings;

    expect(posix_com_open("/nonexistent/port", 4800, 'N', 8, 1, 0) == -1, "open");
    expect(posix_com_open_nowait("/nonexistent/port", 4800, 'N', 8, 1, 0) == -1, "open_nowait");
    expect(posix_com_write(-1, 'x') == 0, "write");
    expect(posix_com_close(-1) == 0, "close");
    expect(posix_com_dataready(-1) == 0, "dataready");
    expect(posix_com_read(-1, &byte) == 0 && byte == 'k', "read");
    expect(posix_com_write_string(-1, "abc") == 0, "write_string");

    expect(kbport == -1, "kbport");
    expect(posix_console_name() != NULL, "console_name");
    expect(posix_get_termsettings(NULL) == NULL, "get_termsettings");
    expect(posix_set_termsettings(NULL, &settings) == 0, "set_termsettings");
    /* Null: nothing armed, no handler installed. */
    expect(posix_restore_on_signals(NULL) == 0, "restore_on_signals");
    expect(posix_leave_key_mode(NULL, &settings) == 0, "leave_key_mode");
    expect(posix_kbwait(0) == 0, "kbwait");
    expect(posix_kbwait_hangup(-1, 0) == 0, "kbwait_hangup");
    expect(posix_getkey(&key) == 0 && key == 'q', "getkey");
    expect(Sleep(1) == 0, "Sleep");
    /* posix_kbhit opens the terminal: called last, its result depends on
     * whether this test has one. */
    expect(posix_kbhit() >= 0, "kbhit");
    return failures == 0 ? 0 : 1;
}
