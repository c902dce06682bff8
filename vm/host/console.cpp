// SPDX-License-Identifier: MIT
// A PC's Linux console: radio on tty1, the virtual terminal, with keys
// typed on QEMU's PS/2 keyboard through its monitor (sendkey), the
// kernel's default keymap.  Its port is ttyS0; its echo goes to ttyS1,
// since a virtual terminal's screen cannot be read back here.

#include "harness/harness.h"
#include "vm/host/scenarios.h"

#include <map>
#include <thread>

namespace vm {

namespace {

// Keys by QEMU's names.
const std::vector<std::string> every_key = {
    "8",        "2",       "spc",    "kp_8",     "kp_2",    "kp_4",   "kp_6", "kp_9",
    "kp_7",     "kp_0",    "up",     "down",     "left",    "right",  "f1",   "f2",
    "f3",       "f4",      "f5",     "f6",       "f7",      "f8",     "f9",   "f10",
    "f11",      "f12",     "home",   "end",      "insert",  "delete", "pgup", "pgdn",
    "shift-up", "ctrl-up", "alt-up", "shift-f1", "ctrl-f1", "alt-f1", "alt-8"};

// Presses one key and lets it go.
bool press(Monitor *monitor, const std::string &key)
{
    const bool sent = monitor->command("sendkey " + key + " 30");
    std::this_thread::sleep_for(milliseconds(120));
    return sent;
}

// What the keypad's and cursor keys' modes change.
const std::vector<std::string> mode_keys = {"kp_8", "kp_2", "kp_4", "kp_6", "kp_9", "kp_7",
                                            "kp_0", "up",   "down", "left", "home", "end"};

enum class Mode { normal, keypad, cursor };
const char *const mode_names[] = {"normal", "keypad", "cursor"};

struct Outcome {
    int keys;
    std::string bytes;
};

// What one press must give on the console, from vm/console-keys.md: the
// keypad sends digits with NumLock on, and Escape O and a letter in keypad
// mode whatever NumLock is; there, NumLock itself is a key (Escape O P)
// and does not toggle.  Alt+F1 shows the first virtual terminal, where
// radio already is: nothing.  Alt+8 is Escape 8.
Outcome expected(Mode mode, bool numlock, const std::string &key)
{
    const std::map<std::string, char> bytes = {
        {"8", 0x20},    {"2", 0x10},    {"spc", 0x00},  {"kp_8", 0x20}, {"kp_2", 0x10},
        {"kp_4", 0x08}, {"kp_6", 0x04}, {"kp_9", 0x02}, {"kp_7", 0x01}, {"alt-8", 0x20}};
    if (key == "num_lock")
        return {mode == Mode::keypad ? 1 : 0, ""};
    if (key == "alt-f1")
        return {0, ""};
    const auto b = bytes.find(key);
    const bool keypad_digit = key.rfind("kp_", 0) == 0;
    if (b == bytes.end() || (keypad_digit && !numlock && mode != Mode::keypad))
        return {1, ""};
    return {1, std::string(1, b->second)};
}

// One run of radio in one mode: the keys, NumLock, the mode's keys again,
// each press followed by an '8'.  Returns NumLock's state at the end.
bool press_all(Monitor *monitor, Mode mode, bool numlock, const PcLines &l)
{
    std::vector<std::string> keys = mode == Mode::normal ? every_key : mode_keys;
    keys.emplace_back("num_lock");
    keys.insert(keys.end(), mode_keys.begin(), mode_keys.end());
    std::vector<int> counts;
    std::string want;
    for (const std::string &key : keys) {
        const Outcome o = expected(mode, numlock, key);
        counts.push_back(o.keys);
        want += o.bytes + "\x20";
        if (key == "num_lock" && mode != Mode::keypad)
            numlock = !numlock;
        if (!press(monitor, key) || !press(monitor, "8")) {
            check(false, "QEMU's monitor took the key " + key);
            return numlock;
        }
    }
    std::string echo;
    std::string sent;
    (void)harness::read_until(
        l.port.master(), &sent, [&](const std::string &s) { return s.size() >= want.size(); },
        seconds(10));
    harness::read_for(l.console.master(), &echo, milliseconds(500));
    const std::string wrong = harness::echo_mismatch(counts, keys, echo);
    check(wrong.empty(), std::string(mode_names[static_cast<int>(mode)]) + " mode: each press " +
                             "one key (none for Alt+F1), and the '8' after it: " +
                             (wrong.empty() ? "so" : wrong + "; echo " + hex(echo)));
    check(sent == want, std::string(mode_names[static_cast<int>(mode)]) +
                            " mode: the command bytes on the port: " + hex(sent) +
                            (sent == want ? "" : " (want " + hex(want) + ")"));
    return numlock;
}

} // namespace

// args: QEMU, the kernel, the initramfs, the kernel's log file.
int run_console(const std::vector<std::string> &args)
{
    PcGuest g;
    if (const int status = boot_pc(args, true, "/init-console", nullptr, &g); status != 0)
        return status;
    const PcLines &l = g.lines;
    Monitor &monitor = g.monitor;
    Reports &guest = g.reports;
    // NumLock: off at the start, on from the normal run's NumLock press to
    // the cursor run's, so that keypad mode sees it off and on.
    bool numlock = false;
    for (const Mode mode : {Mode::keypad, Mode::normal, Mode::keypad, Mode::cursor}) {
        const std::string name = mode_names[static_cast<int>(mode)];
        const auto before = guest.until("KEYS-READY " + name, seconds(60));
        if (mode == Mode::keypad && !numlock)
            check(find_line(before, "LEDS /dev/tty1 num=0") != nullptr,
                  "NumLock is off on the console at the start");
        numlock = press_all(&monitor, mode, numlock, l);
        (void)press(&monitor, "esc");
        // Escape's own echo, so that the next run's echo starts clean.
        std::string escape;
        (void)harness::read_until(
            l.console.master(), &escape,
            [](const std::string &s) {
                return s.find("\n^[\r\n") != std::string::npos ||
                       s.find("\n^[\n") != std::string::npos;
            },
            seconds(5));
        const auto after = guest.until("AFTER-RADIO " + name, seconds(30));
        check(find_line(after, "RADIO-EXIT 1") != nullptr,
              name + " mode: radio's exit status after Escape is 1");
        check_console_restored(before, after, "/dev/tty1");
        check(find_line(after, "LEDS /dev/tty1 num=" + std::to_string(numlock ? 1 : 0)) != nullptr,
              name + " mode: NumLock is " + (numlock ? "on" : "off") + ", as the presses left it");
    }
    (void)guest.until("DONE", seconds(20));
    check(g.qemu.wait_for(seconds(20)).has_value(), "the guest powered off");
    printf("     whole run %.1f s\n", seconds_since(g.started));
    return verdict();
}

// args: QEMU, the kernel, the initramfs, the kernel's log file.  Prints
// what the console sends for each key, in each mode and with NumLock
// off and on.
int run_console_record(const std::vector<std::string> &args)
{
    PcGuest g;
    if (const int status = boot_pc(args, true, "/init-console radio.record", nullptr, &g);
        status != 0)
        return status;
    Monitor &monitor = g.monitor;
    Reports &guest = g.reports;
    for (int mode = 0; mode < 3; ++mode) {
        (void)guest.until("RECORDING", seconds(20));
        for (int pass = 0; pass < 2; ++pass) {
            if (pass == 1) {
                (void)press(&monitor, "num_lock");
                printf("     NumLock key: %s\n", guest.next(milliseconds(300)).c_str());
            }
            for (const std::string &key : every_key) {
                (void)press(&monitor, key);
                const std::string got = guest.next(milliseconds(300));
                printf("     %s pass=%d: %s\n", key.c_str(), pass,
                       got.empty() ? "(nothing)" : got.c_str());
            }
        }
        (void)press(&monitor, "q");
    }
    (void)guest.until("DONE", seconds(20));
    return 0;
}

} // namespace vm
