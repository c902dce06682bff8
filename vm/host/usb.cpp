// SPDX-License-Identifier: MIT
// A PC with a USB serial port, radio built for it, its console ttyS1,
// init's reports on ttyS2.  Two boards: a USB serial adapter, the kind most
// users have (QEMU's FTDI FT232 on an xHCI controller, Linux's ftdi_sio
// driver, /dev/ttyUSB0), pulled out through QEMU's monitor while radio
// runs and put back in; and a microcontroller board that is its own USB
// serial port (a CDC-ACM gadget on Linux's dummy UDC, Linux's cdc-acm
// driver, /dev/ttyACM0), unbound from its UDC while radio runs and bound
// again.  The same radio run sees the port go and come back.

#include "harness/harness.h"
#include "vm/host/scenarios.h"

namespace vm {

namespace {

// One USB serial port under test: what radio is built for, and what the
// messages call the device's driver.
struct UsbPort {
    const char *device; // radio's port in the guest
    const char *driver;
};
const UsbPort adapter_port = {"/dev/ttyUSB0", "ftdi_sio"};
const UsbPort board_port = {"/dev/ttyACM0", "cdc-acm"};

// What radio says when the port goes and when it is back.
std::string lost_message(const UsbPort &p)
{
    return std::string("ERROR:  lost ") + p.device + "; waiting for it to come back";
}
std::string back_message(const UsbPort &p)
{
    return std::string("INFO:  ") + p.device + " is back";
}

// A line of radio's on its console, which has ONLCR on.
std::string on_console(const std::string &text)
{
    return "\r\n" + text + "\r\n";
}

// Every row of the table either holds exactly what was asked or was
// refused with EINVAL; a port in another frame is the one fault.
void check_usb_table(const std::vector<std::string> &lines, const UsbPort &p)
{
    const auto rows = table_rows(lines);
    int wrong = 0;
    std::string refused;
    for (const TableRow &r : rows) {
        if (r.line.find("refused errno=22") == std::string::npos) {
            wrong += row_exact(r) ? 0 : 1;
            continue;
        }
        // Named once: without the receiver, parity in upper case.
        if (r.cread == 0 && r.parity == toupper(r.parity))
            refused += " " + std::to_string(r.baud) + std::string(1, r.parity) +
                       std::to_string(r.data) + std::to_string(r.stop);
    }
    printf("     refused by %s (EINVAL):%s\n", p.driver,
           refused.empty() ? " none" : refused.c_str());
    check(rows.size() >= 100 && wrong == 0, std::string("posix_com_open through ") + p.driver +
                                                ": every one of " + std::to_string(rows.size()) +
                                                " settings exact or refused with EINVAL, " +
                                                std::to_string(wrong) + " in another frame");
}

void check_port_record(const std::vector<std::string> &lines, const UsbPort &p,
                       const std::string &when)
{
    const std::string *radio_port = find_line(lines, std::string("SETTINGS ") + p.device);
    check(radio_port != nullptr && field(*radio_port, "cflag") == (CS8 | CLOCAL | B4800),
          std::string("radio's port (") + p.device + ") " + when +
              ": c_cflag exactly CS8|CLOCAL|B4800 (CREAD clear), got " +
              (radio_port ? octal(field(*radio_port, "cflag")) : "nothing"));
}

void check_far_end(int port_master, const std::string &when)
{
    termios host{};
    const bool host_read = tcgetattr(port_master, &host) == 0;
    check(host_read && cfgetospeed(&host) == B4800 && (host.c_cflag & CSIZE) == CS8 &&
              (host.c_cflag & (PARENB | CSTOPB)) == 0,
          "the adapter's far end, as the emulated FT232 set it " + when + ": 4800 baud, 8N1");
}

// Another frame on the far end, so that 4800 8N1 there afterwards can
// only come from radio's settings reaching the new adapter.
void unsettle_far_end(int port_master)
{
    termios host{};
    if (tcgetattr(port_master, &host) != 0)
        return;
    (void)cfsetispeed(&host, B9600);
    (void)cfsetospeed(&host, B9600);
    host.c_cflag = (host.c_cflag & ~CSIZE) | CS7 | PARENB | CSTOPB;
    (void)tcsetattr(port_master, TCSANOW, &host);
}

size_t count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// One pull and its return as the console and the port line see them, in
// the same radio run: what each has shown since the pull.
struct Pull {
    int console;
    int port;
    UsbPort p;
    std::string line; // the port line, as the checks name it
    std::string shown;
    std::string sent;
};

std::string ms_since(Clock::time_point start)
{
    return std::to_string(static_cast<long>(seconds_since(start) * 1000)) + " ms";
}

// Waits up to limit for radio's echo of key on the console, past the from
// bytes it had shown before the key; whether it came.
bool echoed(Pull *u, const std::string &key, size_t from, milliseconds limit)
{
    const std::string echo = on_console(key);
    return harness::read_until(
        u->console, &u->shown,
        [&](const std::string &s) { return s.find(echo, from) != std::string::npos; }, limit);
}

// Waits, with no key typed, for radio's line text on the console.
bool says(Pull *u, const std::string &text)
{
    return harness::read_until(
        u->console, &u->shown,
        [&](const std::string &s) { return s.find(on_console(text)) != std::string::npos; },
        seconds(10));
}

// The port has gone: radio says so by itself, with no key typed, and a
// command key typed meanwhile is echoed but reaches nothing.
void check_lost(Pull *u, Clock::time_point pulled)
{
    const std::string lost = lost_message(u->p);
    check(says(u, lost), "with no key typed, radio noticed the pull and said \"" + lost + "\" (" +
                             ms_since(pulled) + " after it)");
    const size_t from = u->shown.size();
    (void)sandbox::write_all(u->console, "2");
    const bool echo = echoed(u, "2", from, seconds(2));
    // Far longer than a byte takes at 4800 baud, through the driver and
    // QEMU or the gadget and its copier.
    harness::read_for(u->port, &u->sent, seconds(1));
    check(echo && u->sent.empty(),
          "with the port gone, 2 was echoed and nothing reached " + u->line + ": " + hex(u->sent));
}

// The port is back: radio says so by itself, with no key typed.
void check_back(Pull *u, Clock::time_point plugged)
{
    const std::string back = back_message(u->p);
    check(says(u, back), "with no key typed, radio opened the port again and said \"" + back +
                             "\" (" + ms_since(plugged) + " after the plug)");
}

// The next command key sends its own byte and nothing else: not the 2
// typed while the port was gone, neither before it nor after it.
void check_first_key_back(Pull *u)
{
    const size_t from = u->shown.size();
    (void)sandbox::write_all(u->console, "8");
    const bool echo = echoed(u, "8", from, seconds(2));
    harness::read_until(
        u->port, &u->sent, [](const std::string &s) { return !s.empty(); }, seconds(5));
    harness::read_for(u->port, &u->sent, milliseconds(500));
    check(echo && u->sent == "\x20",
          "the first command key with the port back, 8, sent exactly its own byte to " + u->line +
              ", and the 2 typed while it was gone never came: " + hex(u->sent) + " (want 20)");
    harness::read_for(u->console, &u->shown, milliseconds(100));
    check(count(u->shown, on_console(lost_message(u->p))) == 1 &&
              count(u->shown, on_console(back_message(u->p))) == 1 &&
              u->shown.find("unable to write") == std::string::npos,
          "the console showed \"lost\" once and \"is back\" once, and never \"unable to write\"");
}

// Escape, and radio's end: status 1, the console as before it.
void check_radio_ends(PcGuest *g, const std::vector<std::string> &before, const std::string &when)
{
    (void)type_escape(g->lines.console.master());
    const auto after = g->reports.until("AFTER-RADIO", seconds(30));
    check(find_line(after, "RADIO-EXIT 1") != nullptr,
          "radio's exit status after Escape, " + when + ", is 1");
    if (find_line(after, "SETTINGS /dev/ttyS1") != nullptr)
        check_console_restored(before, after, "/dev/ttyS1");
}

int powered_off(PcGuest *g)
{
    check(g->qemu.wait_for(seconds(20)).has_value(), "the guest powered off");
    printf("     whole run %.1f s\n", seconds_since(g->started));
    return verdict();
}

} // namespace

// args: QEMU, the kernel, the initramfs, the kernel's log file.
int run_usb(const std::vector<std::string> &args)
{
    PcGuest g;
    // The adapter's far end is the port line; the first UART goes nowhere.
    const auto adapter = [](const PcLines &l) {
        return std::vector<std::string>{"-device",  "qemu-xhci,id=xhci",
                                        "-chardev", "serial,id=adapter_line,path=" + l.port.slave(),
                                        "-device",  "usb-serial,id=adapter,chardev=adapter_line"};
    };
    if (const int status = boot_pc(args, false, "/init-usb", adapter, &g); status != 0)
        return status;
    const PcLines &l = g.lines;
    const auto before = g.reports.until("KEYS-READY", seconds(60));
    check_usb_table(before, adapter_port);
    check_port_record(before, adapter_port, "while radio runs");
    check_far_end(l.port.master(), "for radio");
    (void)type_keys_and_check_bytes(l.console.master(), l.port.master(), "the USB adapter");

    Pull u{l.console.master(), l.port.master(), adapter_port, "the adapter's far end", "", ""};
    const auto pulled = Clock::now();
    check(g.monitor.command("device_del adapter"), "QEMU's monitor removed the USB adapter");
    const auto gone = g.reports.until("UNPLUGGED", seconds(30));
    check(gone.back().find("No such file") != std::string::npos,
          "the adapter pulled out: /dev/ttyUSB0 is gone");
    check_lost(&u, pulled);

    // QEMU keeps the chardev when the device goes: the adapter comes back
    // on the same far end.
    unsettle_far_end(l.port.master());
    const auto plugged = Clock::now();
    check(g.monitor.command("device_add usb-serial,id=adapter,chardev=adapter_line"),
          "QEMU's monitor added the USB adapter again, on the same chardev");
    const auto again = g.reports.until("REPLUGGED", seconds(40));
    printf("     the guest saw the node again %s after device_add\n", ms_since(plugged).c_str());
    check(again.back() == "REPLUGGED /dev/ttyUSB0",
          "the adapter put back in: ftdi_sio made /dev/ttyUSB0 again, not another number");
    check_back(&u, plugged);
    check_far_end(l.port.master(), "again, for the radio run that had it before");
    (void)sandbox::write_all(l.report.master(), "settings\n");
    check_port_record(g.reports.until("SETTINGS /dev/ttyUSB0", seconds(20)), adapter_port,
                      "back, in the same radio run");
    check_first_key_back(&u);
    check_radio_ends(&g, before, "with the adapter back");
    return powered_off(&g);
}

// A board that is its own USB serial port: the guest's CDC-ACM gadget is
// the board, and copies what reaches it to the first UART, the port line.
// args: QEMU, the kernel, the initramfs, the kernel's log file.
int run_acm(const std::vector<std::string> &args)
{
    PcGuest g;
    if (const int status = boot_pc(args, true, "/init-acm", nullptr, &g); status != 0)
        return status;
    const PcLines &l = g.lines;
    const auto before = g.reports.until("KEYS-READY", seconds(60));
    check(find_line(before, "PLUGGED /dev/ttyACM0") != nullptr,
          "the board plugged in: cdc-acm made /dev/ttyACM0");
    check_usb_table(before, board_port);
    check_port_record(before, board_port, "while radio runs");
    (void)type_keys_and_check_bytes(l.console.master(), l.port.master(),
                                    "the board (the gadget's ttyGS0)");

    Pull u{l.console.master(), l.port.master(), board_port, "the board", "", ""};
    // The host's words on the report line: the guest unbinds the gadget,
    // binds it again, reports the port's record.
    const auto pulled = Clock::now();
    (void)sandbox::write_all(l.report.master(), "unplug\n");
    const auto gone = g.reports.until("UNPLUGGED", seconds(30));
    check(gone.back().find("No such file") != std::string::npos,
          "the board unbound from its UDC: /dev/ttyACM0 is gone");
    check_lost(&u, pulled);

    const auto plugged = Clock::now();
    (void)sandbox::write_all(l.report.master(), "plug\n");
    const auto again = g.reports.until("PLUGGED", seconds(30));
    printf("     the guest saw the node again %s after the word to bind\n",
           ms_since(plugged).c_str());
    check(again.back() == "PLUGGED /dev/ttyACM0",
          "the board bound again: cdc-acm made /dev/ttyACM0 again, not another number");
    check_back(&u, plugged);
    (void)sandbox::write_all(l.report.master(), "settings\n");
    check_port_record(g.reports.until("SETTINGS /dev/ttyACM0", seconds(20)), board_port,
                      "back, in the same radio run");
    check_first_key_back(&u);
    check_radio_ends(&g, before, "with the board back");
    return powered_off(&g);
}

} // namespace vm
