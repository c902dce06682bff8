// SPDX-License-Identifier: MIT
// The host side of the VM tests: boots a guest under QEMU with its UARTs
// (and USB adapter) on host pseudo-terminals, types keys into its console,
// reads the command bytes from radio's port, and checks everything the
// guest reports.  Exit status 0: all held; 1: something did not (said
// why); 77: QEMU could not run here.  One scenario a file in host/.

#include "vm/host/scenarios.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Scenario {
    const char *name;
    const char *arguments;
    size_t count; // of arguments
    int (*run)(const std::vector<std::string> &);
    const char *what;
};

const Scenario scenarios[] = {
    {"pc", "QEMU KERNEL INITRAMFS KERNEL_LOG", 4, vm::run_pc,
     "a PC: Linux's 8250 driver on 16550 UARTs"},
    {"pi", "QEMU KERNEL DTB INITRAMFS CONSOLE_LOG", 5, vm::run_pi,
     "a Raspberry Pi 3: the mini UART (8250_bcm2835aux) and the PL011"},
    {"usb", "QEMU KERNEL INITRAMFS KERNEL_LOG", 4, vm::run_usb,
     "a PC with a USB serial adapter (FTDI FT232, ftdi_sio) that is pulled out"},
    {"acm", "QEMU KERNEL INITRAMFS KERNEL_LOG", 4, vm::run_acm,
     "a PC with a board that is its own USB serial port (CDC-ACM gadget, cdc-acm), unplugged "
     "and plugged in again"},
    {"console", "QEMU KERNEL INITRAMFS KERNEL_LOG", 4, vm::run_console,
     "a PC's Linux console: radio on tty1, keys through the PS/2 keyboard"},
    {"record-console", "QEMU KERNEL INITRAMFS KERNEL_LOG", 4, vm::run_console_record,
     "what the Linux console sends for each key, in each mode (prints it)"},
};

} // namespace

int main(int argc, char **argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    for (const Scenario &s : scenarios) {
        if (args.empty() || args[0] != s.name || args.size() != s.count + 1)
            continue;
        (void)setvbuf(stdout, nullptr, _IOLBF, 0);
        const int r = s.run(std::vector<std::string>(args.begin() + 1, args.end()));
        printf("%s: %s\n", s.name, r == 0 ? "all checks held" : r == 77 ? "skipped" : "FAILED");
        return r;
    }
    for (const Scenario &s : scenarios)
        (void)fprintf(stderr, "uart-vm-host %s %s\n    %s\n", s.name, s.arguments, s.what);
    return 2;
}
