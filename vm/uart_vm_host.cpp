// SPDX-License-Identifier: MIT
// The host side of the real-UART test: boots the VM under QEMU with its
// UARTs on host pseudo-terminals, types keys into the console UART, reads
// the command bytes from radio's UART, and checks everything the guest
// reports.  Exit status 0: all held; 1: something did not (said why);
// 77: QEMU could not run here.
//
//   uart-vm-host pc QEMU KERNEL INITRAMFS KERNEL_LOG
//       a PC: Linux's 8250 driver on three 16550 UARTs
//   uart-vm-host pi QEMU KERNEL DTB INITRAMFS CONSOLE_LOG
//       a Raspberry Pi 3: the mini UART (8250_bcm2835aux) and the PL011

#include "standin/standin.h"
#include "tests/support.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <termios.h>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

int failures = 0;

void check(bool ok, const std::string &what)
{
    printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
    if (!ok)
        ++failures;
}

std::string hex(const std::string &bytes)
{
    std::string out;
    char b[4];
    for (const char c : bytes) {
        (void)snprintf(b, sizeof b, "%02x ", static_cast<unsigned char>(c));
        out += b;
    }
    return out.empty() ? "(nothing)" : out.substr(0, out.size() - 1);
}

std::string octal(unsigned long v)
{
    char b[24];
    (void)snprintf(b, sizeof b, "0%lo", v);
    return b;
}

// Keeps what the guest's console showed, for a look after a failure.
void write_log(const std::string &path, const std::string &text)
{
    FILE *f = fopen(path.c_str(), "w");
    if (f == nullptr)
        return;
    (void)fputs(text.c_str(), f);
    (void)fclose(f);
}

// The report line, read a line at a time.  Where the line is shared (the
// Pi's console), reports are the lines that start with prefix; the rest
// (radio's echo, the kernel's messages) is kept only for a failure's log.
class Reports {
public:
    explicit Reports(int fd, std::string prefix = "") : fd_(fd), prefix_(std::move(prefix)) {}
    // The next report, or "" when none came in time.
    std::string next(milliseconds limit)
    {
        const auto end = Clock::now() + limit;
        for (;;) {
            const auto has_line = [](const std::string &s) {
                return s.find('\n') != std::string::npos;
            };
            const auto left = std::chrono::duration_cast<milliseconds>(end - Clock::now());
            if (!has_line(pending_) &&
                (left.count() <= 0 || !support::read_until(fd_, &pending_, has_line, left)))
                return "";
            const auto line_end = pending_.find('\n');
            std::string line = pending_.substr(0, line_end);
            pending_.erase(0, line_end + 1);
            line.erase(std::remove(line.begin(), line.end(), '\r'), line.end());
            transcript_ += line + "\n";
            if (line.rfind(prefix_, 0) != 0)
                continue;
            line.erase(0, prefix_.size());
            printf("     guest: %s\n", line.c_str());
            return line;
        }
    }
    // Lines up to and including the one that starts with mark.
    std::vector<std::string> until(const std::string &mark, milliseconds limit)
    {
        std::vector<std::string> lines;
        const auto end = Clock::now() + limit;
        while (Clock::now() < end) {
            const std::string line =
                next(std::chrono::duration_cast<milliseconds>(end - Clock::now()));
            if (line.empty() && Clock::now() >= end)
                break;
            lines.push_back(line);
            if (line.rfind(mark, 0) == 0)
                return lines;
        }
        lines.emplace_back("<timeout waiting for " + mark + ">");
        return lines;
    }
    // Text read from the line by someone else (the echo while typing).
    void feed(const std::string &text) { pending_ += text; }
    const std::string &transcript() const { return transcript_; }

private:
    int fd_;
    std::string prefix_;
    std::string pending_;
    std::string transcript_;
};

// "key=0NNN" from a report line, as a number.
unsigned long field(const std::string &line, const std::string &key)
{
    const auto at = line.find(key + "=");
    if (at == std::string::npos)
        return ~0UL;
    return std::stoul(line.substr(at + key.size() + 1), nullptr, 0);
}

speed_t speed_code(int baud)
{
    const std::map<int, speed_t> codes = {{50, B50},     {134, B134},   {1200, B1200},
                                          {4800, B4800}, {9600, B9600}, {115200, B115200}};
    return codes.at(baud);
}

// What the control-mode word must be for one row of the guest's table.
tcflag_t expected_cflag(int baud, char parity, int data, int stop, unsigned cread)
{
    const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    tcflag_t c = sizes[data - 5] | CLOCAL | cread | speed_code(baud);
    if (stop == 2)
        c |= CSTOPB;
    if (parity == 'E' || parity == 'e')
        c |= PARENB;
    if (parity == 'O' || parity == 'o')
        c |= PARENB | PARODD;
    return c;
}

void check_table(const std::vector<std::string> &lines)
{
    int rows = 0;
    int wrong = 0;
    for (const std::string &line : lines) {
        if (line.rfind("TABLE ", 0) != 0 || line == "TABLE-END")
            continue;
        std::istringstream in(line.substr(6));
        int baud = 0;
        int data = 0;
        int stop = 0;
        unsigned cread = 0;
        char parity = 0;
        in >> baud >> parity >> data >> stop >> cread;
        ++rows;
        const tcflag_t want = expected_cflag(baud, parity, data, stop, cread);
        if (field(line, "cflag") != want || field(line, "ospeed") != speed_code(baud) ||
            field(line, "ispeed") != speed_code(baud)) {
            ++wrong;
            printf("     want cflag=0%o speed=%u for: %s\n", want, speed_code(baud), line.c_str());
        }
    }
    check(rows >= 100 && wrong == 0, "posix_com_open's control-mode word on the 8250 driver, " +
                                         std::to_string(rows) + " settings, " +
                                         std::to_string(wrong) + " wrong");
}

const std::string *find_line(const std::vector<std::string> &lines, const std::string &start,
                             int nth = 0)
{
    const auto found = std::find_if(lines.begin(), lines.end(), [&](const std::string &line) {
        return line.rfind(start, 0) == 0 && nth-- == 0;
    });
    return found == lines.end() ? nullptr : &*found;
}

// The console settings a line reports, without its speeds.
std::string flags_of(const std::string *line)
{
    if (line == nullptr)
        return "(none)";
    return line->substr(line->find("iflag"), line->find(" ispeed") - line->find("iflag"));
}

// The guest's three lines, each a host pty: ttyS0 is radio's serial line,
// ttyS1 its keys, ttyS2 what init reports.  The host holds each slave open
// too: a master whose slave nobody holds reads as hung up, before QEMU opens
// it and between its reopenings.
struct Lines {
    std::optional<standin::Pty> port, console, report;
    std::vector<standin::Fd> holds;
};

// A host pty for one of the guest's lines, raw, its slave held open.
bool open_line(std::optional<standin::Pty> *pty, std::vector<standin::Fd> *holds)
{
    *pty = standin::open_pty();
    if (!*pty || !standin::make_raw((*pty)->slave))
        return false;
    holds->emplace_back(open((*pty)->slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    return true;
}

bool open_lines(Lines *l)
{
    return open_line(&l->port, &l->holds) && open_line(&l->console, &l->holds) &&
           open_line(&l->report, &l->holds);
}

// QEMU's arguments that put the board's UARTs, in their order, on these
// host ptys.
std::vector<std::string> serial_args(const std::vector<std::string> &slaves)
{
    std::vector<std::string> args;
    for (size_t i = 0; i < slaves.size(); ++i) {
        const std::string id = "s" + std::to_string(i);
        args.insert(args.end(), {"-chardev", "serial,id=" + id + ",path=" + slaves[i], "-serial",
                                 "chardev:" + id});
    }
    return args;
}

// args: QEMU, the kernel, the initramfs, the kernel's log file.
standin::Child boot(const std::vector<std::string> &args, const Lines &l)
{
    std::vector<std::string> argv = {
        args[0],      "-nodefaults",
        "-nographic", "-no-reboot",
        "-monitor",   "none",
        "-m",         "256",
        "-fw_cfg",    "name=etc/sercon-port,string=0",
        "-kernel",    args[1],
        "-initrd",    args[2],
        "-append",    "console=ttyS3 loglevel=4 panic=-1 rdinit=/init"};
    const auto lines = serial_args({l.port->slave, l.console->slave, l.report->slave});
    argv.insert(argv.end(), lines.begin(), lines.end());
    argv.insert(argv.end(), {"-serial", "file:" + args[3]});
    return standin::Child::spawn([] {}, argv);
}

// What the guest reported while radio waited for keys: the port's record,
// the host's end of the line, and the console in key mode.
void check_settings_while_running(const std::vector<std::string> &before, int port_master)
{
    check_table(before);
    const std::string *radio_port = find_line(before, "SETTINGS /dev/ttyS0");
    check(radio_port != nullptr && field(*radio_port, "cflag") == (CS8 | CLOCAL | B4800),
          "radio's port while it runs: c_cflag exactly CS8|CLOCAL|B4800 (CREAD clear), got " +
              (radio_port ? octal(field(*radio_port, "cflag")) : "nothing"));
    termios host{};
    const bool host_read = tcgetattr(port_master, &host) == 0;
    check(host_read && cfgetospeed(&host) == B4800 && (host.c_cflag & CSIZE) == CS8 &&
              (host.c_cflag & (PARENB | CSTOPB)) == 0,
          "the host's end of the line, as QEMU set it: 4800 baud, 8 data bits, no parity, 1 stop");
    const std::string *console_keys = find_line(before, "SETTINGS /dev/ttyS1", 1);
    check(
        console_keys != nullptr && field(*console_keys, "ospeed") == B115200 &&
            (field(*console_keys, "cflag") & CLOCAL) != 0 &&
            (field(*console_keys, "lflag") & (ICANON | ECHO | ISIG)) == 0,
        "the console in key mode keeps 115200 baud and CLOCAL; canonical mode, echo, signals off");
    const std::string *lines = find_line(before, "MODEM /dev/ttyS1");
    check(lines != nullptr && lines->find("dtr=1 rts=1") != std::string::npos,
          "the console keeps DTR and RTS raised in key mode");
}

// Keys, as a person types them (each on its own), then Escape: the command
// bytes must arrive on the port (line names it), none for 'a' or a cursor
// key.  Returns what the console showed meanwhile.
std::string type_keys_and_check_bytes(int console, int port, const std::string &line)
{
    std::string echo;
    for (const std::string key : {"8", "2", "4", "6", "9", "7", " ", "a", "\x1b[A"}) {
        (void)support::converse(
            console, key, &echo, [](const std::string &) { return true; }, seconds(2));
        std::this_thread::sleep_for(milliseconds(150));
    }
    std::string sent;
    support::read_until(
        port, &sent, [](const std::string &s) { return s.size() >= 7; }, seconds(10));
    support::read_until(
        port, &sent, [](const std::string &) { return false; }, milliseconds(500));
    check(sent == std::string("\x20\x10\x08\x04\x02\x01\x00", 7),
          "command bytes on " + line + ": " + hex(sent) + " (want 20 10 08 04 02 01 00)");
    (void)support::converse(
        console, "\x1b", &echo, [](const std::string &) { return true; }, seconds(2));
    return echo;
}

// The console's settings after radio, against those before it.
void check_console_restored(const std::vector<std::string> &before,
                            const std::vector<std::string> &after, const std::string &console)
{
    const std::string *was = find_line(before, "SETTINGS " + console, 0);
    const std::string *is = find_line(after, "SETTINGS " + console);
    check(was != nullptr && is != nullptr && flags_of(was) == flags_of(is) &&
              field(*was, "ospeed") == field(*is, "ospeed"),
          "the console's settings are back as they were: " + flags_of(is));
}

void check_end(Reports *guest, const std::vector<std::string> &before)
{
    const auto after = guest->until("AFTER-RADIO", seconds(30));
    check(find_line(after, "RADIO-EXIT 1") != nullptr, "radio's exit status after Escape is 1");
    check_console_restored(before, after, "/dev/ttyS1");
}

// The layer's input side: the host's "ping" in, the guest's "pong" out.
void check_serial_input(Reports *guest, int port_master)
{
    (void)guest->until("RX-READY", seconds(20));
    (void)standin::write_all(port_master, "ping");
    std::string answer;
    support::read_until(
        port_master, &answer,
        [](const std::string &s) { return s.find("pong") != std::string::npos; }, seconds(10));
    const auto done = guest->until("DONE", seconds(20));
    check(find_line(done, "RX 70 69 6e 67") != nullptr,
          "posix_com_dataready and posix_com_read received the host's \"ping\"");
    check(answer.find("pong") != std::string::npos,
          "posix_com_write_string's \"pong\" reached the host: " + hex(answer));
}

int run(const std::vector<std::string> &args)
{
    Lines l;
    if (!open_lines(&l)) {
        printf("FAIL cannot make the host's pseudo-terminals\n");
        return 1;
    }
    const auto started = Clock::now();
    standin::Child qemu = boot(args, l);
    Reports guest(l.report->master.get());
    if (guest.next(seconds(60)) != "BOOTED") {
        const auto status = qemu.wait_for(milliseconds(100));
        printf("the guest never reported (kernel log: %s)\n", args[3].c_str());
        return status && standin::shell_status(*status) != 0 ? 77 : 1;
    }
    printf("     booted to init's first report in %.1f s\n",
           std::chrono::duration<double>(Clock::now() - started).count());

    const auto before = guest.until("KEYS-READY", seconds(60));
    check_settings_while_running(before, l.port->master.get());
    (void)type_keys_and_check_bytes(l.console->master.get(), l.port->master.get(), "the line");
    check_end(&guest, before);
    check_serial_input(&guest, l.port->master.get());

    check(qemu.wait_for(seconds(20)).has_value(), "the guest powered off");
    printf("     whole run %.1f s\n",
           std::chrono::duration<double>(Clock::now() - started).count());
    return failures == 0 ? 0 : 1;
}

// The Raspberry Pi 3 (raspi3b): its mini UART, radio's /dev/ttyS0, on one
// host pty; its PL011, radio's console and the report line, on another.
struct PiLines {
    std::optional<standin::Pty> port, console;
    std::vector<standin::Fd> holds;
};

// args: QEMU, the kernel, the device tree, the initramfs, the log file.
// The PL011 is the board's first UART, the mini UART its second.
standin::Child boot_pi(const std::vector<std::string> &args, const PiLines &l)
{
    std::vector<std::string> argv = {
        args[0],      "-M",         "raspi3b",
        "-m",         "1G",         "-nodefaults",
        "-nographic", "-no-reboot", "-monitor",
        "none",       "-kernel",    args[1],
        "-dtb",       args[2],      "-initrd",
        args[3],      "-append",    "console=ttyAMA0 loglevel=1 rdinit=/init"};
    const auto lines = serial_args({l.console->slave, l.port->slave});
    argv.insert(argv.end(), lines.begin(), lines.end());
    return standin::Child::spawn([] {}, argv);
}

// The mini UART has no parity and no 5 or 6 bits: the driver keeps another
// frame and tcsetattr still succeeds, so posix_com_open must refuse.
void check_frames(const std::vector<std::string> &lines)
{
    check(find_line(lines, "FRAME N8 open") != nullptr, "the mini UART opens at 4800 8N1");
    check(find_line(lines, "FRAME E7 refused errno=22 left=0") != nullptr,
          "7E1 on the mini UART: -1, errno EINVAL, nothing left open");
    check(find_line(lines, "FRAME N5 refused errno=22 left=0") != nullptr,
          "5 data bits on the mini UART: -1, errno EINVAL, nothing left open");
}

void check_pi_settings(const std::vector<std::string> &before)
{
    const std::string *radio_port = find_line(before, "SETTINGS /dev/ttyS0");
    check(radio_port != nullptr && field(*radio_port, "cflag") == (CS8 | CLOCAL | B4800),
          "radio's port (the mini UART) while it runs: c_cflag exactly CS8|CLOCAL|B4800 "
          "(CREAD clear), got " +
              (radio_port ? octal(field(*radio_port, "cflag")) : "nothing"));
    // QEMU's mini UART does not pass the speed on to the host's end, so the
    // driver's own record above is the proof of 4800 baud.
    printf("     (the host's end keeps its own speed: QEMU's mini UART does not pass it on)\n");
    const std::string *console_keys = find_line(before, "SETTINGS /dev/ttyAMA0", 1);
    check(console_keys != nullptr && field(*console_keys, "ospeed") == B115200 &&
              (field(*console_keys, "cflag") & CLOCAL) != 0 &&
              (field(*console_keys, "lflag") & (ICANON | ECHO | ISIG)) == 0,
          "the console (PL011) in key mode keeps 115200 baud and CLOCAL; canonical mode, echo, "
          "signals off");
}

// Bytes the mini UART sent before radio (while the kernel probed it) are
// not radio's, and are dropped first.  The console's output while typing
// (echo and reports) goes back to the reports.
void type_keys_on_pi(const PiLines &l, Reports *guest)
{
    std::string stray;
    support::read_until(
        l.port->master.get(), &stray, [](const std::string &) { return false; }, milliseconds(300));
    guest->feed(
        type_keys_and_check_bytes(l.console->master.get(), l.port->master.get(), "the mini UART"));
}

int run_pi(const std::vector<std::string> &args)
{
    PiLines l;
    if (!open_line(&l.port, &l.holds) || !open_line(&l.console, &l.holds)) {
        printf("FAIL cannot make the host's pseudo-terminals\n");
        return 1;
    }
    const auto started = Clock::now();
    standin::Child qemu = boot_pi(args, l);
    Reports guest(l.console->master.get(), "@ ");
    const auto booted = guest.until("BOOTED", seconds(120));
    if (booted.back() != "BOOTED") {
        const auto status = qemu.wait_for(milliseconds(100));
        write_log(args[4], guest.transcript());
        printf("the guest never reported (its console: %s)\n", args[4].c_str());
        return status && standin::shell_status(*status) != 0 ? 77 : 1;
    }
    printf("     booted to init's first report in %.1f s\n",
           std::chrono::duration<double>(Clock::now() - started).count());
    const auto before = guest.until("KEYS-READY", seconds(60));
    check_frames(before);
    check_pi_settings(before);
    type_keys_on_pi(l, &guest);
    const auto after = guest.until("DONE", seconds(30));
    check(find_line(after, "RADIO-EXIT 1") != nullptr, "radio's exit status after Escape is 1");
    check_console_restored(before, after, "/dev/ttyAMA0");
    // The board cannot power off: the host ends it.
    qemu.kill_now();
    write_log(args[4], guest.transcript());
    printf("     whole run %.1f s\n",
           std::chrono::duration<double>(Clock::now() - started).count());
    return failures == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    const bool pc = args.size() == 5 && args[0] == "pc";
    const bool pi = args.size() == 6 && args[0] == "pi";
    if (!pc && !pi) {
        (void)fprintf(stderr, "usage: uart-vm-host pc QEMU KERNEL INITRAMFS KERNEL_LOG\n"
                              "       uart-vm-host pi QEMU KERNEL DTB INITRAMFS CONSOLE_LOG\n");
        return 2;
    }
    (void)setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    const int r = pc ? run(rest) : run_pi(rest);
    printf("%s\n", r == 0    ? "real UART: all checks held"
                   : r == 77 ? "skipped"
                             : "real UART: FAILED");
    return r;
}
