// SPDX-License-Identifier: MIT
// A Raspberry Pi 3 (raspi3b): its mini UART, radio's /dev/ttyS0, on one
// host pty; its PL011, radio's console and the report line, on another.

#include "harness/harness.h"
#include "vm/host/scenarios.h"

namespace vm {

namespace {

// args: QEMU, the kernel, the device tree, the initramfs, the log file.
// The PL011 is the board's first UART, the mini UART its second.
sandbox::Child boot_pi(const std::vector<std::string> &args, const Line &console, const Line &port)
{
    std::vector<std::string> argv = {
        args[0],      "-M",         "raspi3b",
        "-m",         "1G",         "-nodefaults",
        "-nographic", "-no-reboot", "-monitor",
        "none",       "-kernel",    args[1],
        "-dtb",       args[2],      "-initrd",
        args[3],      "-append",    "console=ttyAMA0 loglevel=1 rdinit=/init"};
    const auto lines = serial_args({&console, &port});
    argv.insert(argv.end(), lines.begin(), lines.end());
    return sandbox::Child::spawn([] {}, argv);
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

} // namespace

int run_pi(const std::vector<std::string> &args)
{
    Line port;
    Line console;
    if (!open_line(&port) || !open_line(&console)) {
        printf("FAIL cannot make the host's pseudo-terminals\n");
        return 1;
    }
    const auto started = Clock::now();
    sandbox::Child qemu = boot_pi(args, console, port);
    Reports guest(console.master(), "@ ");
    const auto boot = guest.until("BOOTED", seconds(120));
    if (boot.back() != "BOOTED") {
        const auto status = qemu.wait_for(milliseconds(100));
        write_log(args[4], guest.transcript());
        printf("the guest never reported (its console: %s)\n", args[4].c_str());
        return status && sandbox::shell_status(*status) != 0 ? 77 : 1;
    }
    printf("     booted to init's first report in %.1f s\n", seconds_since(started));
    const auto before = guest.until("KEYS-READY", seconds(60));
    check_frames(before);
    check_pi_settings(before);
    // Bytes the mini UART sent before radio (while the kernel probed it)
    // are not radio's, and are dropped first.  The console's output while
    // typing (echo and reports) goes back to the reports.
    std::string stray;
    harness::read_for(port.master(), &stray, milliseconds(300));
    guest.feed(type_keys_and_check_bytes(console.master(), port.master(), "the mini UART"));
    guest.feed(type_escape(console.master()));
    const auto after = guest.until("DONE", seconds(30));
    check(find_line(after, "RADIO-EXIT 1") != nullptr, "radio's exit status after Escape is 1");
    check_console_restored(before, after, "/dev/ttyAMA0");
    // The board cannot power off: the host ends it.
    qemu.kill_now();
    write_log(args[4], guest.transcript());
    printf("     whole run %.1f s\n", seconds_since(started));
    return verdict();
}

} // namespace vm
