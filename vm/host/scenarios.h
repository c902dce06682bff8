// SPDX-License-Identifier: MIT
// The scenarios, one file each; uart_vm_host.cpp lists them.  Each takes
// its command line's arguments after the scenario's name and returns 0
// when every check held, 1 when one did not, 77 when QEMU could not boot.
#ifndef RADIO_VM_HOST_SCENARIOS_H
#define RADIO_VM_HOST_SCENARIOS_H

#include "vm/host/driver.h"

#include <functional>
#include <string>
#include <vector>

namespace vm {

// A PC's four 16550 UARTs, in order: radio's port, radio's console (or its
// echo), init's reports, the kernel's log (a file).  Where radio's port is
// elsewhere (a USB adapter), the first UART is there but goes nowhere.
struct PcLines {
    Line port, console, report;
};

// QEMU for a PC with those lines: args are QEMU, the kernel, the
// initramfs and the kernel's log file; init is the guest's init and
// cmdline is added to the kernel's.  uart_port: radio's port is ttyS0.
std::vector<std::string> pc_qemu(const std::vector<std::string> &args, const PcLines &l,
                                 bool uart_port, const std::string &init);

// A PC booted to init's first report: its lines, its monitor, QEMU, and
// the reports (on the report line).
struct PcGuest {
    PcLines lines;
    Monitor monitor;
    sandbox::Child qemu;
    Reports reports{-1};
    Clock::time_point started;
};

// More of QEMU's arguments, made once the lines are open.
using ExtraArgs = std::function<std::vector<std::string>(const PcLines &)>;

// Boots a PC (pc_qemu's arguments, then extra ones).  Returns 0 once init
// has reported, else what the scenario returns: 1 when the host's ptys
// cannot be made or the guest never reported, 77 when QEMU could not run.
int boot_pc(const std::vector<std::string> &args, bool uart_port, const std::string &init,
            const ExtraArgs &extra, PcGuest *g);

int run_pc(const std::vector<std::string> &args);
int run_pi(const std::vector<std::string> &args);
int run_usb(const std::vector<std::string> &args);
int run_acm(const std::vector<std::string> &args);
int run_console(const std::vector<std::string> &args);
int run_console_record(const std::vector<std::string> &args);

} // namespace vm

#endif
