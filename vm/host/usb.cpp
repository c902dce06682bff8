// SPDX-License-Identifier: MIT
// A PC with a USB serial port, radio built for it, its console ttyS1,
// init's reports on ttyS2.  Two boards: a USB serial adapter, the kind most
// users have (QEMU's FTDI FT232 on an xHCI controller, Linux's ftdi_sio
// driver, /dev/ttyUSB0), pulled out through QEMU's monitor while radio
// runs; and a microcontroller board that is its own USB serial port (a
// CDC-ACM gadget on Linux's dummy UDC, Linux's cdc-acm driver,
// /dev/ttyACM0), unbound from its UDC while radio runs and bound again.

#include "harness/harness.h"
#include "vm/host/scenarios.h"

#include <thread>

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

std::string message(const UsbPort &p)
{
    return std::string("ERROR:  unable to write to ") + p.device;
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

void check_port_record(const std::vector<std::string> &before, const UsbPort &p)
{
    const std::string *radio_port = find_line(before, std::string("SETTINGS ") + p.device);
    check(radio_port != nullptr && field(*radio_port, "cflag") == (CS8 | CLOCAL | B4800),
          std::string("radio's port (") + p.device +
              ") while it runs: c_cflag exactly CS8|CLOCAL|B4800 (CREAD clear), got " +
              (radio_port ? octal(field(*radio_port, "cflag")) : "nothing"));
}

void check_far_end(int port_master)
{
    termios host{};
    const bool host_read = tcgetattr(port_master, &host) == 0;
    check(host_read && cfgetospeed(&host) == B4800 && (host.c_cflag & CSIZE) == CS8 &&
              (host.c_cflag & (PARENB | CSTOPB)) == 0,
          "the adapter's far end, as the emulated FT232 set it: 4800 baud, 8N1");
}

size_t count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// Once the port has gone: the next command key is reported once, the
// following ones not again, and radio goes on to Escape.
void check_port_gone(int console, const UsbPort &p)
{
    const std::string said = message(p);
    std::string echo;
    (void)harness::converse(
        console, "8", &echo,
        [&](const std::string &s) { return s.find(said) != std::string::npos; }, seconds(5));
    for (const char *key : {"2", "a", "4"}) {
        std::this_thread::sleep_for(milliseconds(200));
        (void)harness::converse(
            console, key, &echo, [](const std::string &) { return true; }, seconds(2));
    }
    harness::read_for(console, &echo, milliseconds(500));
    check(count(echo, said) == 1 && echo.find("\r\n8\r\n") < echo.find(said),
          "with the port gone, the next command key said \"" + said + "\" once, and radio went on");
    check(count(echo, "\r\n4\r\n") == 1, "radio still echoes keys after the port is gone");
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
    check_port_record(before, adapter_port);
    check_far_end(l.port.master());
    (void)type_keys_and_check_bytes(l.console.master(), l.port.master(), "the USB adapter");
    check(g.monitor.command("device_del adapter"), "QEMU's monitor removed the USB adapter");
    const auto gone = g.reports.until("UNPLUGGED", seconds(20));
    check(find_line(gone, "UNPLUGGED /dev/ttyUSB0") != nullptr,
          "the adapter pulled out: /dev/ttyUSB0 is gone");
    check_port_gone(l.console.master(), adapter_port);
    check_radio_ends(&g, before, "adapter gone");
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
    check_port_record(before, board_port);
    (void)type_keys_and_check_bytes(l.console.master(), l.port.master(),
                                    "the board (the gadget's ttyGS0)");
    // The host's word on the report line: the guest unbinds the gadget.
    (void)sandbox::write_all(l.report.master(), "unplug\n");
    const auto gone = g.reports.until("UNPLUGGED", seconds(20));
    check(gone.back().find("No such file") != std::string::npos,
          "the board unbound from its UDC: /dev/ttyACM0 is gone");
    check_port_gone(l.console.master(), board_port);
    check_radio_ends(&g, before, "board gone");

    const auto again = g.reports.until("KEYS-READY", seconds(60));
    check(find_line(again, "PLUGGED /dev/ttyACM0") != nullptr,
          "the board bound again: cdc-acm made /dev/ttyACM0 anew");
    (void)type_keys_and_check_bytes(l.console.master(), l.port.master(),
                                    "the board, plugged in again, in a new radio run");
    check_radio_ends(&g, again, "board back");
    return powered_off(&g);
}

} // namespace vm
