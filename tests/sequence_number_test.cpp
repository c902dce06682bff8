// SPDX-License-Identifier: MIT
// The number in a key's escape sequence, converted byte by byte, against an
// independent reference: strtoll, held to the 32-bit range.

#include "console/sequence_number.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <random>
#include <string>

namespace {

int32_t reference(const std::string &text)
{
    const long long v = std::strtoll(text.c_str(), nullptr, 10);
    if (v > INT32_MAX)
        return INT32_MAX;
    if (v < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(v);
}

int32_t converted(const std::string &text)
{
    sequence_number n;
    sequence_number_start(&n);
    for (const char c : text)
        sequence_number_feed(&n, static_cast<unsigned char>(c));
    return sequence_number_value(&n);
}

TEST(SequenceNumber, KnownCases)
{
    const struct {
        const char *text;
        int32_t value;
    } cases[] = {
        {"", 0},
        {"15", 15},
        {"1;5", 1},
        {"300", 300},
        {"  -12x", -12},
        {"+7", 7},
        {"-", 0},
        {"+-3", 0},
        {" \t\n\v\f\r42", 42},
        {"2147483647", INT32_MAX},
        {"2147483648", INT32_MAX},
        {"-2147483648", INT32_MIN},
        {"-2147483649", INT32_MIN},
        {"000000000000000000000000000000000009", 9},
        {"99999999999999999999999999999999", INT32_MAX},
        {"4 2", 4},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.value, converted(c.text)) << '"' << c.text << '"';
}

TEST(SequenceNumber, AgreesWithTheReferenceOnRandomText)
{
    // Mostly the bytes a parameter string holds, and some others.
    const std::string alphabet = "0123456789012345678900000   \t\n+-;:?!x\x7f\x80\xff";
    // A fixed seed: a failure must show the same text on every run.
    std::mt19937 random(20261208); // NOLINT(cert-msc32-c,cert-msc51-cpp)
    std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
    std::uniform_int_distribution<int> length(0, 40);
    for (int i = 0; i < 200000; ++i) {
        std::string text;
        for (int n = length(random); n > 0; --n)
            text += alphabet[pick(random)];
        ASSERT_EQ(reference(text), converted(text)) << '"' << text << '"';
    }
}

TEST(SequenceNumber, AgreesAroundTheEndsOfTheRange)
{
    for (const long long edge : {0LL, 2147483647LL, 2147483648LL, -2147483648LL, -2147483649LL,
                                 4294967296LL, 9223372036854775000LL}) {
        for (long long d = -3; d <= 3; ++d) {
            const std::string text = std::to_string(edge + (edge > 0 ? -d : d));
            ASSERT_EQ(reference(text), converted(text)) << text;
            ASSERT_EQ(reference("  +" + text), converted("  +" + text)) << text;
        }
    }
}

} // namespace
