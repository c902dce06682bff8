// SPDX-License-Identifier: MIT
// A PC: Linux's 8250 driver on three 16550 UARTs.  radio's port is ttyS0,
// its console ttyS1, init reports on ttyS2, the kernel logs on ttyS3.

#include "harness/harness.h"
#include "vm/host/scenarios.h"

#include <algorithm>

namespace vm {

std::vector<std::string> pc_qemu(const std::vector<std::string> &args, const PcLines &l,
                                 bool uart_port, const std::string &init)
{
    std::vector<std::string> argv = {
        args[0],      "-nodefaults",
        "-nographic", "-no-reboot",
        "-m",         "256",
        "-fw_cfg",    "name=etc/sercon-port,string=0",
        "-kernel",    args[1],
        "-initrd",    args[2],
        "-append",    "console=ttyS3 loglevel=4 panic=-1 rdinit=" + init};
    if (!uart_port)
        argv.insert(argv.end(), {"-serial", "null"});
    const auto lines = uart_port ? serial_args({&l.port, &l.console, &l.report})
                                 : serial_args({&l.console, &l.report});
    argv.insert(argv.end(), lines.begin(), lines.end());
    argv.insert(argv.end(), {"-serial", "file:" + args[3]});
    return argv;
}

int boot_pc(const std::vector<std::string> &args, bool uart_port, const std::string &init,
            const ExtraArgs &extra, PcGuest *g)
{
    PcLines &l = g->lines;
    if (!open_line(&l.port) || !open_line(&l.console) || !open_line(&l.report)) {
        printf("FAIL cannot make the host's pseudo-terminals\n");
        return 1;
    }
    g->started = Clock::now();
    auto argv = pc_qemu(args, l, uart_port, init);
    const auto monitor = g->monitor.qemu_args();
    argv.insert(argv.end(), monitor.begin(), monitor.end());
    if (extra) {
        const auto more = extra(l);
        argv.insert(argv.end(), more.begin(), more.end());
    }
    g->qemu = sandbox::Child::spawn([] {}, argv);
    g->reports = Reports(l.report.master());
    if (g->reports.next(seconds(90)) == "BOOTED") {
        printf("     booted to init's first report in %.1f s\n", seconds_since(g->started));
        return 0;
    }
    const auto ended = g->qemu.wait_for(milliseconds(100));
    printf("the guest never reported (kernel log: %s)\n", args[3].c_str());
    return ended && sandbox::shell_status(*ended) != 0 ? 77 : 1;
}

namespace {

void check_table(const std::vector<std::string> &lines)
{
    const auto rows = table_rows(lines);
    const auto wrong =
        std::count_if(rows.begin(), rows.end(), [](const TableRow &r) { return !row_exact(r); });
    check(rows.size() >= 100 && wrong == 0,
          "posix_com_open's control-mode word on the 8250 driver, " + std::to_string(rows.size()) +
              " settings, " + std::to_string(wrong) + " wrong");
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

// radio again, its serial console at baud: every key typed whole, then byte
// by byte with pauses longer than the UART's receive time-out (4 character
// times: 0.35 ms at 115200, 33 ms at 1200), which so hands radio each byte
// on its own, yet shorter than radio's wait.  Each press must be one key.
void check_keys_on_serial_console(Reports *guest, const PcLines &l, int baud, speed_t code)
{
    const auto before = guest->until("KEYS-READY", seconds(60));
    const std::string *keys_mode = find_line(before, "SETTINGS /dev/ttyS1");
    check(keys_mode != nullptr && field(*keys_mode, "ospeed") == code &&
              (field(*keys_mode, "cflag") & CLOCAL) != 0,
          "at " + std::to_string(baud) +
              " baud the console in key mode keeps its speed and CLOCAL");
    const auto &keys = harness::keys_in_pieces();
    std::string earlier; // the echo of what came before, not to be counted
    harness::read_for(l.console.master(), &earlier, milliseconds(300));
    for (const bool apart : {false, true}) {
        const std::string how =
            std::to_string(baud) + " baud, " + (apart ? "bytes 50 ms apart" : "each key whole");
        std::string echo;
        const bool typed = harness::type_keys(l.console.master(), keys, apart,
                                              milliseconds(apart ? 50 : 20), &echo);
        const std::string want = harness::commands_of(keys);
        std::string sent;
        harness::read_until(
            l.port.master(), &sent, [&](const std::string &s) { return s.size() >= want.size(); },
            seconds(10));
        harness::read_for(l.console.master(), &echo, milliseconds(500));
        const std::string wrong = harness::pieces_mismatch(keys, echo);
        check(typed && wrong.empty(),
              how + ": every press one key" + (wrong.empty() ? "" : " (" + wrong + ")"));
        check(sent == want, how + ": command bytes " + hex(sent));
    }
    (void)type_escape(l.console.master());
    const auto after = guest->until("STTY-AFTER", seconds(30));
    check(find_line(after, "RADIO-EXIT 1") != nullptr,
          std::to_string(baud) + " baud: radio's exit status after Escape is 1");
    const std::string *was = find_line(before, "STTY-BEFORE");
    const std::string is = after.back().substr(after.back().find(' ') + 1);
    check(was != nullptr && is == was->substr(was->find(' ') + 1),
          std::to_string(baud) + " baud: stty -g on the console is as before radio: " + is);
}

// The layer's input side: the host's "ping" in, the guest's "pong" out.
void check_serial_input(Reports *guest, int port_master)
{
    (void)guest->until("RX-READY", seconds(20));
    (void)sandbox::write_all(port_master, "ping");
    std::string answer;
    harness::read_until(
        port_master, &answer,
        [](const std::string &s) { return s.find("pong") != std::string::npos; }, seconds(10));
    const auto done = guest->until("DONE", seconds(20));
    check(find_line(done, "RX 70 69 6e 67") != nullptr,
          "posix_com_dataready and posix_com_read received the host's \"ping\"");
    check(answer.find("pong") != std::string::npos,
          "posix_com_write_string's \"pong\" reached the host: " + hex(answer));
}

} // namespace

// args: QEMU, the kernel, the initramfs, the kernel's log file.
int run_pc(const std::vector<std::string> &args)
{
    PcGuest g;
    if (const int status = boot_pc(args, true, "/init", nullptr, &g); status != 0)
        return status;
    const PcLines &l = g.lines;
    const auto before = g.reports.until("KEYS-READY", seconds(60));
    check_settings_while_running(before, l.port.master());
    (void)type_keys_and_check_bytes(l.console.master(), l.port.master(), "the line");
    (void)type_escape(l.console.master());
    const auto after = g.reports.until("AFTER-RADIO", seconds(30));
    check(find_line(after, "RADIO-EXIT 1") != nullptr, "radio's exit status after Escape is 1");
    check_console_restored(before, after, "/dev/ttyS1");
    check_keys_on_serial_console(&g.reports, l, 115200, B115200);
    check_keys_on_serial_console(&g.reports, l, 1200, B1200);
    check_serial_input(&g.reports, l.port.master());

    check(g.qemu.wait_for(seconds(20)).has_value(), "the guest powered off");
    printf("     whole run %.1f s\n", seconds_since(g.started));
    return verdict();
}

} // namespace vm
