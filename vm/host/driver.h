// SPDX-License-Identifier: MIT
// What every VM scenario shares: the guest's lines laid on host ptys, QEMU
// started and talked to through its monitor, the guest's reports read a
// line at a time, keys typed and command bytes checked, and each check
// printed as it is made.  A scenario (pc.cpp, pi.cpp, usb.cpp,
// console.cpp) is one board and what is proved on it.
#ifndef RADIO_VM_HOST_DRIVER_H
#define RADIO_VM_HOST_DRIVER_H

#include "sandbox/sandbox.h"

#include <chrono>
#include <optional>
#include <string>
#include <termios.h>
#include <vector>

namespace vm {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

// Prints "ok" or "FAIL" and what was checked; failures are counted.
void check(bool ok, const std::string &what);
// 0 when every check held, else 1.
int verdict();

std::string hex(const std::string &bytes);
std::string octal(unsigned long v);
double seconds_since(Clock::time_point start);
void write_log(const std::string &path, const std::string &text);

// The report line, read a line at a time.  Where the line is shared (the
// Pi's console), reports are the lines that start with prefix; the rest
// (radio's echo, the kernel's messages) is kept only for a failure's log.
class Reports {
public:
    explicit Reports(int fd, std::string prefix = "");
    // The next report, or "" when none came in time.
    std::string next(milliseconds limit);
    // Lines up to and including the one that starts with mark.
    std::vector<std::string> until(const std::string &mark, milliseconds limit);
    // Text read from the line by someone else (the echo while typing).
    void feed(const std::string &text) { pending_ += text; }
    const std::string &transcript() const { return transcript_; }

private:
    int fd_;
    std::string prefix_;
    std::string pending_;
    std::string transcript_;
};

// "key=0NNN" from a report line, as a number (~0 when absent).
unsigned long field(const std::string &line, const std::string &key);
// The nth line that starts with start, or null.
const std::string *find_line(const std::vector<std::string> &lines, const std::string &start,
                             int nth = 0);

// One of the guest's lines: a host pty whose slave the host holds open too,
// since a master whose slave nobody holds reads as hung up, before QEMU
// opens it and between its reopenings.
struct Line {
    std::optional<sandbox::Pty> pty;
    sandbox::Fd hold;
    int master() const { return pty->master.get(); }
    const std::string &slave() const { return pty->slave; }
};
// A raw host pty for a line, or false.
bool open_line(Line *line);

// QEMU's arguments that put the board's UARTs, in their order, on these
// lines.
std::vector<std::string> serial_args(const std::vector<const Line *> &lines);

// QEMU's human monitor on a Unix socket: device_del, sendkey.
class Monitor {
public:
    Monitor();
    // The arguments that give QEMU this monitor.
    std::vector<std::string> qemu_args() const;
    // Sends one command and waits for the next prompt; false when QEMU
    // could not be reached or said the command failed.
    bool command(const std::string &line);

private:
    bool connect();
    std::string path_;
    sandbox::Fd socket_;
};

// Types each key as a person does (each on its own) and checks the bytes
// that reach port: those of 8 2 4 6 9 7 space, none for 'a' or a cursor
// key.  line names the port in the check.  Returns what the console showed.
std::string type_keys_and_check_bytes(int console, int port, const std::string &line);
// Escape on the console; returns what it showed meanwhile.
std::string type_escape(int console);

// The console's settings after radio, against those before it.
void check_console_restored(const std::vector<std::string> &before,
                            const std::vector<std::string> &after, const std::string &console);

// One row of uart-probe's table: what posix_com_open was asked, and the
// report line ("cflag=... ispeed=... ospeed=...", or "refused errno=N").
struct TableRow {
    int baud = 0;
    char parity = 0;
    int data = 0;
    int stop = 0;
    unsigned cread = 0;
    std::string line;
};
std::vector<TableRow> table_rows(const std::vector<std::string> &lines);
// Whether the port of a row holds exactly what was asked: the control-mode
// word and both speeds.  Prints what was wanted when it does not.
bool row_exact(const TableRow &row);

} // namespace vm

#endif
