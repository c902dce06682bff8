// SPDX-License-Identifier: MIT
// The key decoder on byte strings: every key string that the terminfo
// descriptions of xterm, rxvt, screen, tmux, linux and vt220 list (read
// with infocmp, ncurses 6.4; none of them is 8-bit or VT52), keys recorded
// from real terminals, and what a gap between bytes does.

#include "console/key_decoder.h"

#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace {

struct Key {
    int code;
    int extended;
    bool operator==(const Key &o) const { return code == o.code && extended == o.extended; }
};

std::ostream &operator<<(std::ostream &out, const Key &k)
{
    return out << "{" << k.code << ", " << k.extended << "}";
}

// The keys of bytes fed with "more waiting" as given, one flag ('1' or
// '0') a byte.  A key that wanted a byte where none was waiting would have
// read past what was there: it shows as {-1000, -1000}.
std::vector<Key> keys_with_gaps(const std::string &bytes, const std::string &more)
{
    std::vector<Key> keys;
    key_decoder d;
    key_decoder_start(&d);
    for (size_t i = 0; i < bytes.size(); ++i) {
        signed char key = 0;
        signed char extended = -1;
        const int waiting = more[i] == '1' ? 1 : 0;
        if (key_decoder_feed(&d, static_cast<unsigned char>(bytes[i]), waiting, &key, &extended) !=
            0) {
            keys.push_back({key, extended});
            key_decoder_start(&d);
        } else if (waiting == 0) {
            keys.push_back({-1000, -1000});
        }
    }
    return keys;
}

// The keys of one burst of bytes, all waiting when the first is read, as a
// terminal writes one key press.
std::vector<Key> keys_of(const std::string &burst)
{
    std::string more(burst.size(), '1');
    if (!more.empty())
        more.back() = '0';
    return keys_with_gaps(burst, more);
}

struct Case {
    const char *bytes;
    int code;
    int extended;
};

// clang-format off
// Key strings from terminfo, with the terminals and capabilities that list
// them; each must be one key.
const Case terminfo_keys[] = {
    // Plain bytes and Escape with one byte.
    {"\010", 8, 0}, // vt220: backspace
    {"\032", 26, 0}, // linux: suspend
    {"\033\011", 9, 0}, // linux: btab
    {"\177", 8, 0}, // xterm rxvt screen tmux linux: backspace
    // SS3: xterm, screen and tmux in application cursor mode, F1..F4, and
    // the application keypad's corners, centre and Enter.
    {"\033OA", 0, 1}, // xterm screen tmux: up
    {"\033OB", 0, 1}, // xterm screen tmux: down
    {"\033OC", 0, 1}, // xterm screen tmux: right
    {"\033OD", 0, 1}, // xterm screen tmux: left
    {"\033OE", 0, 1}, // xterm: beg
    {"\033OF", 0, 1}, // xterm: end
    {"\033OH", 0, 1}, // xterm: home
    {"\033OM", 13, 1}, // xterm rxvt: enter
    {"\033OP", 0, 1}, // xterm screen tmux vt220: f1
    {"\033OQ", 0, 1}, // xterm screen tmux vt220: f2
    {"\033OR", 0, 1}, // xterm screen tmux vt220: f3
    {"\033OS", 0, 1}, // xterm screen tmux vt220: f4
    {"\033Oq", 49, 1}, // xterm rxvt: c1
    {"\033Os", 51, 1}, // xterm rxvt: c3
    {"\033Ou", 53, 1}, // xterm rxvt: b2
    {"\033Ow", 55, 1}, // xterm rxvt: a1
    {"\033Oy", 57, 1}, // xterm rxvt: a3
    // Control sequences: the number's low 8 bits.
    {"\033[11^", 11, 1}, // rxvt: f23
    {"\033[11~", 11, 1}, // rxvt: f1
    {"\033[12^", 12, 1}, // rxvt: f24
    {"\033[12~", 12, 1}, // rxvt: f2
    {"\033[13^", 13, 1}, // rxvt: f25
    {"\033[13~", 13, 1}, // rxvt: f3
    {"\033[14^", 14, 1}, // rxvt: f26
    {"\033[14~", 14, 1}, // rxvt: f4
    {"\033[15;2~", 15, 1}, // xterm tmux: f17
    {"\033[15;3~", 15, 1}, // xterm tmux: f53
    {"\033[15;5~", 15, 1}, // xterm tmux: f29
    {"\033[15;6~", 15, 1}, // xterm tmux: f41
    {"\033[15^", 15, 1}, // rxvt: f27
    {"\033[15~", 15, 1}, // xterm rxvt screen tmux: f5
    {"\033[17;2~", 17, 1}, // xterm tmux: f18
    {"\033[17;3~", 17, 1}, // xterm tmux: f54
    {"\033[17;5~", 17, 1}, // xterm tmux: f30
    {"\033[17;6~", 17, 1}, // xterm tmux: f42
    {"\033[17^", 17, 1}, // rxvt: f28
    {"\033[17~", 17, 1}, // xterm rxvt screen tmux linux vt220: f6
    {"\033[18;2~", 18, 1}, // xterm tmux: f19
    {"\033[18;3~", 18, 1}, // xterm tmux: f55
    {"\033[18;5~", 18, 1}, // xterm tmux: f31
    {"\033[18;6~", 18, 1}, // xterm tmux: f43
    {"\033[18^", 18, 1}, // rxvt: f29
    {"\033[18~", 18, 1}, // xterm rxvt screen tmux linux vt220: f7
    {"\033[19;2~", 19, 1}, // xterm tmux: f20
    {"\033[19;3~", 19, 1}, // xterm tmux: f56
    {"\033[19;5~", 19, 1}, // xterm tmux: f32
    {"\033[19;6~", 19, 1}, // xterm tmux: f44
    {"\033[19^", 19, 1}, // rxvt: f30
    {"\033[19~", 19, 1}, // xterm rxvt screen tmux linux vt220: f8
    {"\033[1;2A", 1, 1}, // xterm tmux: sr
    {"\033[1;2B", 1, 1}, // xterm tmux: sf
    {"\033[1;2C", 1, 1}, // xterm tmux: sright
    {"\033[1;2D", 1, 1}, // xterm tmux: sleft
    {"\033[1;2F", 1, 1}, // xterm tmux: send
    {"\033[1;2H", 1, 1}, // xterm tmux: shome
    {"\033[1;2P", 1, 1}, // xterm tmux: f13
    {"\033[1;2Q", 1, 1}, // xterm tmux: f14
    {"\033[1;2R", 1, 1}, // xterm tmux: f15
    {"\033[1;2S", 1, 1}, // xterm tmux: f16
    {"\033[1;3P", 1, 1}, // xterm tmux: f49
    {"\033[1;3Q", 1, 1}, // xterm tmux: f50
    {"\033[1;3R", 1, 1}, // xterm tmux: f51
    {"\033[1;3S", 1, 1}, // xterm tmux: f52
    {"\033[1;4P", 1, 1}, // xterm tmux: f61
    {"\033[1;4Q", 1, 1}, // xterm tmux: f62
    {"\033[1;4R", 1, 1}, // xterm tmux: f63
    {"\033[1;5P", 1, 1}, // xterm tmux: f25
    {"\033[1;5Q", 1, 1}, // xterm tmux: f26
    {"\033[1;5R", 1, 1}, // xterm tmux: f27
    {"\033[1;5S", 1, 1}, // xterm tmux: f28
    {"\033[1;6P", 1, 1}, // xterm tmux: f37
    {"\033[1;6Q", 1, 1}, // xterm tmux: f38
    {"\033[1;6R", 1, 1}, // xterm tmux: f39
    {"\033[1;6S", 1, 1}, // xterm tmux: f40
    {"\033[1~", 1, 1}, // rxvt screen tmux linux vt220: find home
    {"\033[20;2~", 20, 1}, // xterm tmux: f21
    {"\033[20;3~", 20, 1}, // xterm tmux: f57
    {"\033[20;5~", 20, 1}, // xterm tmux: f33
    {"\033[20;6~", 20, 1}, // xterm tmux: f45
    {"\033[20^", 20, 1}, // rxvt: f31
    {"\033[20~", 20, 1}, // xterm rxvt screen tmux linux vt220: f9
    {"\033[21;2~", 21, 1}, // xterm tmux: f22
    {"\033[21;3~", 21, 1}, // xterm tmux: f58
    {"\033[21;5~", 21, 1}, // xterm tmux: f34
    {"\033[21;6~", 21, 1}, // xterm tmux: f46
    {"\033[21^", 21, 1}, // rxvt: f32
    {"\033[21~", 21, 1}, // xterm rxvt screen tmux linux vt220: f10
    {"\033[23$", 23, 1}, // rxvt: f21
    {"\033[23;2~", 23, 1}, // xterm tmux: f23
    {"\033[23;3~", 23, 1}, // xterm tmux: f59
    {"\033[23;5~", 23, 1}, // xterm tmux: f35
    {"\033[23;6~", 23, 1}, // xterm tmux: f47
    {"\033[23@", 23, 1}, // rxvt: f43
    {"\033[23^", 23, 1}, // rxvt: f33
    {"\033[23~", 23, 1}, // xterm rxvt screen tmux linux vt220: f11
    {"\033[24$", 24, 1}, // rxvt: f22
    {"\033[24;2~", 24, 1}, // xterm tmux: f24
    {"\033[24;3~", 24, 1}, // xterm tmux: f60
    {"\033[24;5~", 24, 1}, // xterm tmux: f36
    {"\033[24;6~", 24, 1}, // xterm tmux: f48
    {"\033[24@", 24, 1}, // rxvt: f44
    {"\033[24^", 24, 1}, // rxvt: f34
    {"\033[24~", 24, 1}, // xterm rxvt screen tmux linux vt220: f12
    {"\033[25^", 25, 1}, // rxvt: f35
    {"\033[25~", 25, 1}, // rxvt linux vt220: f13
    {"\033[26^", 26, 1}, // rxvt: f36
    {"\033[26~", 26, 1}, // rxvt linux vt220: f14
    {"\033[28^", 28, 1}, // rxvt: f37
    {"\033[28~", 28, 1}, // rxvt linux vt220: f15 help
    {"\033[29^", 29, 1}, // rxvt: f38
    {"\033[29~", 29, 1}, // rxvt linux vt220: f16 redo
    {"\033[2;2~", 2, 1}, // xterm tmux: sic
    {"\033[2~", 2, 1}, // xterm rxvt screen tmux linux vt220: ic
    {"\033[3$", 3, 1}, // rxvt: sdc
    {"\033[31^", 31, 1}, // rxvt: f39
    {"\033[31~", 31, 1}, // rxvt linux vt220: f17
    {"\033[32^", 32, 1}, // rxvt: f40
    {"\033[32~", 32, 1}, // rxvt linux vt220: f18
    {"\033[33^", 33, 1}, // rxvt: f41
    {"\033[33~", 33, 1}, // rxvt linux vt220: f19
    {"\033[34^", 34, 1}, // rxvt: f42
    {"\033[34~", 34, 1}, // rxvt linux vt220: f20
    {"\033[3;2~", 3, 1}, // xterm tmux: sdc
    {"\033[3~", 3, 1}, // xterm rxvt screen tmux linux vt220: dc
    {"\033[4~", 4, 1}, // rxvt screen tmux linux vt220: end select
    {"\033[5$", 5, 1}, // rxvt: sprevious
    {"\033[5;2~", 5, 1}, // xterm tmux: sprevious
    {"\033[5~", 5, 1}, // xterm rxvt screen tmux linux vt220: ppage
    {"\033[6$", 6, 1}, // rxvt: snext
    {"\033[6;2~", 6, 1}, // xterm tmux: snext
    {"\033[6~", 6, 1}, // xterm rxvt screen tmux linux vt220: npage
    {"\033[7$", 7, 1}, // rxvt: shome
    {"\033[7~", 7, 1}, // rxvt: home
    {"\033[8$", 8, 1}, // rxvt: send
    {"\033[8^", 8, 1}, // rxvt: eol
    {"\033[8~", 8, 1}, // rxvt: end
    {"\033[<", 0, 1}, // xterm: mouse
    {"\033[A", 0, 1}, // rxvt linux vt220: up
    {"\033[B", 0, 1}, // rxvt linux vt220: down
    {"\033[C", 0, 1}, // rxvt linux vt220: right
    {"\033[D", 0, 1}, // rxvt linux vt220: left
    {"\033[G", 0, 1}, // linux: b2
    {"\033[M", 0, 1}, // rxvt screen tmux linux: mouse
    {"\033[Z", 0, 1}, // xterm rxvt screen tmux: btab
    {"\033[c", 0, 1}, // rxvt: sright
    {"\033[d", 0, 1}, // rxvt: sleft
    // The Linux console's F1..F5.
    {"\033[[A", 0, 1}, // linux: f1
    {"\033[[B", 0, 1}, // linux: f2
    {"\033[[C", 0, 1}, // linux: f3
    {"\033[[D", 0, 1}, // linux: f4
    {"\033[[E", 0, 1}, // linux: f5
};

// Recorded from real terminals (the X and console tests type them), and
// the rules' edges.
const Case other_keys[] = {
    // The application keypad: * + , - . / 0..9, as the terminal's own
    // characters (rxvt-unicode, st, mlterm with NumLock off; the Linux
    // console with it on).
    {"\033Oj", '*', 1}, {"\033Ok", '+', 1}, {"\033Ol", ',', 1}, {"\033Om", '-', 1},
    {"\033On", '.', 1}, {"\033Oo", '/', 1}, {"\033Op", '0', 1}, {"\033Or", '2', 1},
    {"\033Ot", '4', 1}, {"\033Ov", '6', 1}, {"\033Ox", '8', 1}, {"\033OM", 13, 1},
    // SS3 with parameters (old xterm's modified keys) takes the number:
    // Ctrl+keypad-8 is no command.
    {"\033O5x", 5, 1}, {"\033O1;5P", 1, 1},
    // Alt with a cursor or function key: Escape before the whole sequence
    // (rxvt-unicode), never the Escape key.
    {"\033\033[A", 0, 1}, {"\033\033OA", 0, 1}, {"\033\033[56~", '8', 1},
    {"\033\033[[A", 0, 1}, {"\033\033[7$", 7, 1},
    // Alt+key: the key, unchanged.
    {"\0338", '8', 0}, {"\033\177", 127, 0}, {"\033\033x", 'x', 0},
    // The number is held to the 32-bit range before its low 8 bits count:
    // 4294967352 is 2^32 + 56, yet not '8'.
    {"\033[56~", '8', 1}, {"\033[4294967352~", -1, 1}, {"\033[-4294967352~", 0, 1},
    {"\033[~", 0, 1}, {"\033[300~", 44, 1}, {"\033[[", 0, 1},
    // 8-bit bytes are keys of their own: UTF-8 text, not C1 controls.
    {"\233", -101, 0}, {"\217", -113, 0},
};
// clang-format on

TEST(KeyDecoder, EveryTerminfoKeyStringAndRecordedKeyIsOneKey)
{
    for (const auto &table : {std::vector<Case>(std::begin(terminfo_keys), std::end(terminfo_keys)),
                              std::vector<Case>(std::begin(other_keys), std::end(other_keys))}) {
        for (const Case &c : table)
            EXPECT_EQ(std::vector<Key>{(Key{c.code, c.extended})}, keys_of(c.bytes))
                << testing::PrintToString(std::string(c.bytes));
    }
}

TEST(KeyDecoder, OnlyBytesAlreadyWaitingContinueAKey)
{
    using Keys = std::vector<Key>;
    // A gap after Escape: the Escape key, then the rest as keys.
    EXPECT_EQ((Keys{{27, 0}, {'[', 0}, {'A', 0}}), keys_with_gaps("\033[A", "011"));
    // Escape '[' / 'O' / Escape with nothing behind: that byte (Alt+key).
    EXPECT_EQ((Keys{{'[', 0}}), keys_with_gaps("\033[", "10"));
    EXPECT_EQ((Keys{{'O', 0}}), keys_with_gaps("\033O", "10"));
    EXPECT_EQ((Keys{{27, 0}}), keys_with_gaps("\033\033", "10"));
    EXPECT_EQ((Keys{{'[', 0}}), keys_with_gaps("\033\033[", "110"));
    // A sequence with no final byte ends with the waiting bytes, and the
    // next burst is keys of its own.
    EXPECT_EQ((Keys{{9, 1}, {'8', 0}}), keys_with_gaps("\033[98", "1100"));
    EXPECT_EQ((Keys{{1, 1}, {'8', 0}}), keys_with_gaps("\033O18", "1100"));
    EXPECT_EQ((Keys{{0, 1}, {'A', 0}}), keys_with_gaps("\033[[A", "1100"));
}

TEST(KeyDecoder, AConsoleGoneMidKeyLeavesTheKeySoFar)
{
    const std::pair<std::string, Key> cases[] = {{"\033", {27, 0}}, {"\033\033", {27, 0}},
                                                 {"\033[", {0, 1}}, {"\033[5", {5, 1}},
                                                 {"\033O", {0, 1}}, {"\033[[", {0, 1}}};
    for (const auto &[bytes, want] : cases) {
        key_decoder d;
        key_decoder_start(&d);
        signed char key = 0;
        signed char extended = 0;
        for (const char c : bytes) // every byte with another behind it
            (void)key_decoder_feed(&d, static_cast<unsigned char>(c), 1, &key, &extended);
        key_decoder_finish(&d, &key, &extended);
        EXPECT_EQ(want, (Key{key, extended})) << testing::PrintToString(bytes);
    }
}

} // namespace
