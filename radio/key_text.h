// SPDX-License-Identifier: MIT
// What stands for a key when it is shown on a terminal.  One function for
// radio's echo and the key viewer, so that the two always agree.
//
// A key is shown, never sent raw: a control byte written to a terminal is
// acted on, not seen.  Escape left open across the echo's newline would
// swallow the first letter a shell prints after radio ends (Escape c even
// resets the screen); Ctrl-S (XOFF) would stop a serial console's far end
// from sending, Escape included; Ctrl-N switches the Linux console to
// line-drawing symbols; Ctrl-E asks some terminals for their answerback.
// Controls are shown in caret notation, as the terminal's own echo
// (stty echoctl) and cat -v show them:
//
//   byte         shown as          why
//   0x00..0x1F   ^@ .. ^_          C0 controls; Escape is ^[
//   0x7F         ^?                DEL
//   0x80..0x9F   M-^@ .. M-^_      C1 controls: outside UTF-8, 0x9B starts a
//                                  control sequence, 0x90 and 0x9D a string
//                                  that swallows all later output
//   any other    itself            text (0xA0..0xFF: a UTF-8 terminal's
//                                  bytes of a letter, one key each)
#ifndef RADIO_RADIO_KEY_TEXT_H
#define RADIO_RADIO_KEY_TEXT_H

#include <cstddef>

// The longest text key_text writes: "M-^_".
inline constexpr size_t key_text_max = 4;

// Writes the text that stands for key into text (not terminated); returns
// its length, 1 to key_text_max.
inline size_t key_text(signed char key, char (&text)[key_text_max])
{
    auto byte = static_cast<unsigned char>(key);
    size_t n = 0;
    if (byte >= 0x80 && byte < 0xA0) {
        text[n++] = 'M';
        text[n++] = '-';
        byte = static_cast<unsigned char>(byte - 0x80);
    }
    if (byte < 0x20 || byte == 0x7F) {
        text[n++] = '^';
        // 0x40 flipped: 0x00 is '@', 0x1B '[', 0x7F '?'.
        byte = static_cast<unsigned char>(byte ^ 0x40);
    }
    text[n++] = static_cast<char>(byte);
    return n;
}

#endif
