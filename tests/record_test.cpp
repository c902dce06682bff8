// SPDX-License-Identifier: MIT
// The two settings records as pure functions, over the whole settings
// table: what a pseudo-terminal hides (it forces 8 bits and the receiver,
// and drops parity) shows here.  The expected words are built from Linux's
// own flag values, written out, not from the constants the code uses.

#include "console/key_mode.h"
#include "serial/line_record.h"

#include <gtest/gtest.h>

#include <cstring>
#include <utility>

namespace {

constexpr tcflag_t clocal = 0x800;
constexpr tcflag_t cread = 0x80;

TEST(LineRecord, EverySettingGivesItsExactRecord)
{
    const std::pair<int32_t, speed_t> speeds[] = {
        {50, 01},    {75, 02},     {110, 03},    {134, 04},       {150, 05},        {200, 06},
        {300, 07},   {600, 010},   {1200, 011},  {1800, 012},     {2400, 013},      {4800, 014},
        {9600, 015}, {19200, 016}, {38400, 017}, {57600, 0x1001}, {115200, 0x1002},
    };
    const std::pair<char, tcflag_t> parities[] = {{'N', 0},     {'n', 0},     {'E', 0x100},
                                                  {'e', 0x100}, {'O', 0x300}, {'o', 0x300}};
    const tcflag_t sizes[] = {0x00, 0x10, 0x20, 0x30}; // 5..8 data bits
    int records = 0;
    for (const auto &[baud, speed] : speeds)
        for (const auto &[letter, parity] : parities)
            for (int32_t bits = 5; bits <= 8; ++bits)
                for (int32_t stop = 1; stop <= 2; ++stop)
                    for (const uint32_t extra : {0U, 0x80U, 0x80000400U}) { // CREAD; CRTSCTS|HUPCL
                        SCOPED_TRACE(testing::Message()
                                     << baud << letter << bits << stop << " extra " << extra);
                        termios t;
                        std::memset(&t, 0xA5, sizeof t);
                        ASSERT_TRUE(serial_line_record(baud, letter, bits, stop, extra, &t));
                        const tcflag_t stops = stop == 2 ? 0x40 : 0;
                        EXPECT_EQ(sizes[bits - 5] | stops | parity | extra | clocal | speed,
                                  t.c_cflag);
                        EXPECT_EQ(0x4U, t.c_iflag); // IGNPAR
                        EXPECT_EQ(0U, t.c_oflag);
                        EXPECT_EQ(0x8000U, t.c_lflag); // IEXTEN
                        EXPECT_EQ(speed, cfgetispeed(&t));
                        EXPECT_EQ(speed, cfgetospeed(&t));
                        EXPECT_EQ(0, t.c_line);
                        for (size_t i = 0; i < NCCS; ++i)
                            EXPECT_EQ(i == VMIN ? 1 : 0, t.c_cc[i]) << "c_cc " << i;
                        ++records;
                    }
    EXPECT_EQ(17 * 6 * 4 * 2 * 3, records);

    termios untouched{};
    untouched.c_cflag = 0x1234;
    EXPECT_FALSE(serial_line_record(4800, 'X', 8, 1, 0, &untouched));
    EXPECT_FALSE(serial_line_record(230400, 'N', 8, 1, 0, &untouched));
    EXPECT_EQ(0x1234U, untouched.c_cflag);
}

TEST(LineRecord, AFrameOrSpeedTheDriverChangedIsNotKept)
{
    // A UART without parity (a mini UART) keeps none when asked for even,
    // and still reports success.
    termios asked{};
    ASSERT_TRUE(serial_line_record(4800, 'E', 7, 2, 0, &asked)); // PARENB alone
    EXPECT_TRUE(serial_line_kept(&asked, &asked));
    const std::pair<const char *, tcflag_t> changes[] = {{"no parity", 0x100},  // PARENB
                                                         {"odd parity", 0x200}, // PARODD
                                                         {"8 bits", 0x10},      // CS7 to CS8
                                                         {"1 stop bit", 0x40}}; // CSTOPB
    for (const auto &[what, bits] : changes) {
        termios got = asked;
        got.c_cflag ^= bits;
        EXPECT_FALSE(serial_line_kept(&got, &asked)) << what;
    }
    termios slower = asked;
    ASSERT_EQ(0, cfsetospeed(&slower, B2400));
    EXPECT_FALSE(serial_line_kept(&slower, &asked));
}

TEST(KeyMode, ChangesOnlyWhatItMustAndKeepsTheLine)
{
    // A serial console at 115200 (in both speed fields of c_cflag), with
    // and without CLOCAL, in 7E2 with hang-up on close and flow control.
    for (const tcflag_t local : {clocal, tcflag_t{0}}) {
        SCOPED_TRACE(local);
        termios t;
        std::memset(&t, 0x5A, sizeof t);
        const tcflag_t line = 0x1002 | (0x1002U << 16) | local; // B115200, CIBAUD too
        t.c_cflag =
            line | 0x20 | 0x40 | 0x100 | 0x400 | 0x80000000; // CS7 CSTOPB PARENB HUPCL CRTSCTS
        t.c_iflag = 0x2D02;                                  // ICRNL IXON ISTRIP BRKINT ...
        t.c_oflag = 0x1;                                     // OPOST alone
        t.c_lflag = 0x8A3B;                                  // ICANON ECHO ISIG IEXTEN ...
        const termios before = t;
        console_key_mode(&t);
        EXPECT_EQ(line | 0x30 | cread, t.c_cflag);
        EXPECT_EQ(0U, t.c_iflag);
        EXPECT_EQ(0x5U, t.c_oflag);    // OPOST | ONLCR
        EXPECT_EQ(0x8000U, t.c_lflag); // IEXTEN
        EXPECT_EQ(before.c_line, t.c_line);
        EXPECT_EQ(cfgetispeed(&before), cfgetispeed(&t));
        EXPECT_EQ(cfgetospeed(&before), cfgetospeed(&t));
        for (size_t i = 0; i < NCCS; ++i)
            EXPECT_EQ(i == VERASE ? 0x7F : before.c_cc[i], t.c_cc[i]) << "c_cc " << i;
    }
}

} // namespace
