/* SPDX-License-Identifier: MIT */
/* A C program that calls every function of the layer through its headers:
 * proves they are C, with C linkage, and need nothing else included.  It
 * arms no signal handler, as a program that uses the layer alone; run in a
 * terminal of its own (console_test), its first poll shows what such a
 * program meets. */
#include "console/console.h"
#include "serial/serial.h"

#include <stdio.h>
#include <stdlib.h>
#include <time.h>

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
     * whether this test has one.  The settings that the first poll left are
     * printed, and the terminal then put back: run from a developer's shell, the suite
     * must not leave it without echo. */
    struct termios *saved = posix_get_termsettings(posix_console_name());
    struct timespec start;
    struct timespec end;
    expect(clock_gettime(CLOCK_MONOTONIC, &start) == 0, "clock");
    const int32_t first = posix_kbhit();
    expect(clock_gettime(CLOCK_MONOTONIC, &end) == 0, "clock");
    expect(first == 0 || first == 1, "kbhit");
    const long ms =
        (long)(end.tv_sec - start.tv_sec) * 1000 + (end.tv_nsec - start.tv_nsec) / 1000000;
    struct termios now = {0};
    expect(kbport == -1 || tcgetattr(kbport, &now) == 0, "tcgetattr");
    printf("first poll %d in %ld ms, lflag %#lx iflag %#lx\n", (int)first, ms,
           (unsigned long)now.c_lflag, (unsigned long)now.c_iflag);
    if (saved != NULL) {
        expect(posix_set_termsettings(posix_console_name(), saved) == 1, "settings back");
        free(saved);
    }
    return failures == 0 ? 0 : 1;
}
