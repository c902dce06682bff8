// SPDX-License-Identifier: MIT
// The key viewer reads keys through the console layer's own reader, so the
// bytes, the waits and the keys it shows are exactly radio's.

#include "tools/key_viewer.h"

#include "console/console.h"
#include "console/key_reader.h"
#include "console/key_wait.h"
#include "radio/device.h"
#include "radio/key_text.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>

namespace {

// The bytes in hex, the gaps between them, and the wait that ended the key.
std::string bytes_of(const key_trace &t)
{
    std::string text;
    char part[40];
    for (size_t i = 0; i < t.count && i < key_trace::capacity; ++i) {
        (void)snprintf(part, sizeof part, i == 0 ? "%02x" : " %02x", t.bytes[i]);
        text += part;
    }
    if (t.count > key_trace::capacity)
        text += " ... (" + std::to_string(t.count) + " bytes)";
    if (t.count > 1) {
        text += " (gaps";
        for (size_t i = 1; i < t.count && i < key_trace::capacity; ++i) {
            (void)snprintf(part, sizeof part, " %.3f", static_cast<double>(t.gap_us[i]) / 1000.0);
            text += part;
        }
        text += " ms)";
    }
    if (t.waited_ms > 0)
        text += " (then nothing for " + std::to_string(t.waited_ms) + " ms)";
    return text;
}

// The key as radio echoes it, quoted; with its code where that is not
// plain text.
std::string key_of(signed char key, signed char extended)
{
    char shown[key_text_max];
    std::string text = "key '" + std::string(shown, key_text(key, shown)) + "'";
    const auto code = static_cast<unsigned char>(key);
    if (code < ' ' || code >= 0x7F) {
        char hex[8];
        (void)snprintf(hex, sizeof hex, " (0x%02x)", code);
        text += hex;
    }
    return text + (extended != 0 ? " from a sequence" : "");
}

// What radio does with the key.
std::string effect_of(signed char key)
{
    if (key == end_key)
        return "radio ends";
    const Command *c = command_for_key(key);
    if (c == nullptr)
        return "no command";
    char text[40];
    (void)snprintf(text, sizeof text, "sends 0x%02x (%s)", c->byte,
                   c->line != nullptr ? c->line : "space");
    return text;
}

} // namespace

int view_keys()
{
    // Saved before key mode, to be put back at the end, or when a signal
    // ends or stops the viewer, as radio does.
    termios *saved = posix_get_termsettings(posix_console_name());
    (void)posix_restore_on_signals(saved);
    (void)posix_kbhit();
    if (kbport == -1) {
        (void)fprintf(stderr, "radio-sim: no terminal to read keys from (%s)\n",
                      posix_console_name());
        free(saved);
        return 1;
    }
    termios now{};
    const int wait = console_key_wait_ms(tcgetattr(kbport, &now) == 0 ? &now : nullptr);
    printf("radio-sim: press keys to see what the terminal sends and what radio makes of them.\n"
           "radio-sim: after an Escape, or inside an unfinished key, radio waits up to %d ms\n"
           "radio-sim: for the next byte.  Escape alone ends.\n",
           wait);
    signed char key = 0;
    while (key != end_key) {
        if (posix_kbhit() == 0 && posix_kbwait(-1) == 0)
            continue;
        key_trace trace{};
        const signed char extended = console_read_key(&key, &trace);
        if (extended < 0) {
            (void)fprintf(stderr, "radio-sim: the terminal went away\n");
            free(saved);
            return 1;
        }
        printf("%s -> %s -> %s\n", bytes_of(trace).c_str(), key_of(key, extended).c_str(),
               effect_of(key).c_str());
    }
    const int restored = posix_leave_key_mode(posix_console_name(), saved);
    free(saved);
    if (restored == 1)
        return 0;
    (void)fprintf(stderr, "radio-sim: the terminal's settings could not be put back\n");
    return 1;
}
