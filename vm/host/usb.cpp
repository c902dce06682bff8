// SPDX-License-Identifier: MIT
// A PC with a USB serial adapter, the kind most users have: QEMU's FTDI
// FT232 on an xHCI controller, Linux's ftdi_sio driver, radio built for
// /dev/ttyUSB0.  radio's console is ttyS1, init reports on ttyS2.  While
// radio runs the adapter is pulled out through QEMU's monitor.

#include "tests/support.h"
#include "vm/host/scenarios.h"

#include <thread>

namespace vm {

namespace {

const char message[] = "ERROR:  unable to write to /dev/ttyUSB0";

// Every row of the table either holds exactly what was asked or was
// refused with EINVAL; a port in another frame is the one fault.
void check_usb_table(const std::vector<std::string> &lines)
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
    printf("     refused by the FTDI driver (EINVAL):%s\n",
           refused.empty() ? " none" : refused.c_str());
    check(rows.size() >= 100 && wrong == 0, "posix_com_open through ftdi_sio: every one of " +
                                                std::to_string(rows.size()) +
                                                " settings exact or refused with EINVAL, " +
                                                std::to_string(wrong) + " in another frame");
}

void check_usb_settings(const std::vector<std::string> &before, int port_master)
{
    const std::string *radio_port = find_line(before, "SETTINGS /dev/ttyUSB0");
    check(radio_port != nullptr && field(*radio_port, "cflag") == (CS8 | CLOCAL | B4800),
          "radio's port (ttyUSB0) while it runs: c_cflag exactly CS8|CLOCAL|B4800 (CREAD "
          "clear), got " +
              (radio_port ? octal(field(*radio_port, "cflag")) : "nothing"));
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

// The adapter pulled out: the next command key is reported once, the
// following ones not again, and radio goes on to Escape.
void pull_out_adapter(Monitor *monitor, int console)
{
    check(monitor->command("device_del adapter"), "QEMU's monitor removed the USB adapter");
    // The guest sees the adapter gone within its next USB poll.
    std::this_thread::sleep_for(seconds(2));
    std::string echo;
    (void)support::converse(
        console, "8", &echo,
        [](const std::string &s) { return s.find(message) != std::string::npos; }, seconds(5));
    for (const char *key : {"2", "a", "4"}) {
        std::this_thread::sleep_for(milliseconds(200));
        (void)support::converse(
            console, key, &echo, [](const std::string &) { return true; }, seconds(2));
    }
    (void)support::read_until(
        console, &echo, [](const std::string &) { return false; }, milliseconds(500));
    check(count(echo, message) == 1 && echo.find("\r\n8\r\n") < echo.find(message),
          "after the adapter was pulled out, the next command key said \"" + std::string(message) +
              "\" once, and radio went on");
    check(count(echo, "\r\n4\r\n") == 1, "radio still echoes keys after the adapter is gone");
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
    check_usb_table(before);
    check_usb_settings(before, l.port.master());
    (void)type_keys_and_check_bytes(l.console.master(), l.port.master(), "the USB adapter");
    pull_out_adapter(&g.monitor, l.console.master());
    (void)type_escape(l.console.master());
    const auto after = g.reports.until("AFTER-RADIO", seconds(30));
    check(find_line(after, "RADIO-EXIT 1") != nullptr,
          "radio's exit status after Escape, adapter gone, is 1");
    check_console_restored(before, after, "/dev/ttyS1");
    check(g.qemu.wait_for(seconds(20)).has_value(), "the guest powered off");
    printf("     whole run %.1f s\n", seconds_since(g.started));
    return verdict();
}

} // namespace vm
