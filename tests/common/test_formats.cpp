#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "formats.hpp"

namespace f = velmora::formats;

TEST(Formats, SizeText) {
    const double tb = 1024.0 * 1024.0 * 1024.0 * 1024.0;
    const struct {
        double bytes;
        const char* text;
    } cases[] = {
        {0, "0.00 B"},
        {1023, "1023.00 B"},
        {1023.999, "1024.00 B"},  // the unit is chosen before rounding
        {1024, "1.00 KB"},
        {1536, "1.50 KB"},
        {1048576, "1.00 MB"},
        {1073741824, "1.00 GB"},
        {tb, "1.00 TB"},
        {tb * 1024.0, "1024.00 TB"},
        {-5000, "-5000.00 B"},
        {-0.0, "-0.00 B"},
        {0.125, "0.12 B"},  // exact binary value: round half to even
        {0.375, "0.38 B"},
        {2.675, "2.67 B"},  // 2.67499999... in binary
        {5e12, "4.55 TB"},
        {std::numeric_limits<double>::infinity(), "inf TB"},
        {-std::numeric_limits<double>::infinity(), "-inf B"},
        {std::nan(""), "nan TB"},
        {-std::nan(""), "nan TB"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        EXPECT_EQ(f::size_text(c.bytes), c.text);
    }
}

TEST(Formats, SpeedTextAndFixed) {
    EXPECT_EQ(f::speed_text(2048.0), "2.00 KB/s");
    EXPECT_EQ(f::speed_text(0.0), "0.00 B/s");
    EXPECT_EQ(f::fixed(50.0, 1), "50.0");
    EXPECT_EQ(f::fixed(99.95, 1), "100.0");  // 99.9500000000000028...
    EXPECT_EQ(f::fixed(0.05, 1), "0.1");     // 0.05000000000000000277...
    EXPECT_EQ(f::fixed(0.25, 1), "0.2");
    EXPECT_EQ(f::fixed(1.7976931348623157e308, 0).size(), 309u);
}

TEST(Formats, EtaText) {
    const struct {
        long long seconds;
        const char* text;
    } cases[] = {
        {0, "0s"},          {59, "59s"},         {60, "1m 0s"},
        {3599, "59m 59s"},  {3600, "1h 0m 0s"},  {3725, "1h 2m 5s"},
        {360000, "100h 0m 0s"},
        {-1, "59m 59s"},    // floor division, as divmod(-1, 3600)
        {-3600, "0s"},      {-3661, "58m 59s"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.seconds);
        EXPECT_EQ(f::eta_text(c.seconds), c.text);
    }
}

TEST(Formats, ClockText) {
    const struct {
        long long seconds;
        const char* text;
    } cases[] = {
        {0, "0:00"},        {59, "0:59"},       {60, "1:00"},        {61, "1:01"},
        {3599, "59:59"},    {3600, "1:00:00"},  {3661, "1:01:01"},   {36000, "10:00:00"},
        {90061, "25:01:01"},
        {-5, "59:55"},      // floor division: hours -1, minutes 59, seconds 55
        {-3600, "0:00"},    {-3601, "59:59"},
        {9223372036854775807LL, "2562047788015215:30:07"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.seconds);
        EXPECT_EQ(f::clock_text(c.seconds), c.text);
    }
}

TEST(Formats, CountText) {
    const struct {
        double whole;
        const char* text;
    } cases[] = {
        {0, "0"},            {-0.0, "0"},           {999, "999"},         {1000, "1.0K"},
        {1049, "1.0K"},      {1050, "1.1K"},        // 1.05 is just above in binary
        {1250, "1.2K"},      {1750, "1.8K"},        // exact halves go to even
        {9999, "10.0K"},     {999950, "1000.0K"},   {999999, "1000.0K"},  // unit chosen before rounding
        {1000000, "1.0M"},   {1500000, "1.5M"},     {1234567, "1.2M"},
        {-5, "-5"},          {-5000, "-5000"},      {-1e20, "-100000000000000000000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.whole);
        EXPECT_EQ(f::count_text(c.whole), c.text);
    }
}

// The tenths of a count come from integers and one fused multiply-add; the
// reference is the correctly rounded printing of the quotient itself.
TEST(Formats, CountTextAgreesWithPrintingTheQuotient) {
    auto check = [](double whole) {
        const double unit = whole >= 1000000.0 ? 1000000.0 : 1000.0;
        ASSERT_EQ(f::count_text(whole), f::fixed(whole / unit, 1) + (unit == 1000.0 ? "K" : "M")) << whole;
    };
    for (double c = 1000; c < 3000000; c += 1) check(c);
    std::uint64_t state = 88172645463325252ULL;  // xorshift: the same numbers on every run
    for (int i = 0; i < 200000; ++i) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        check(static_cast<double>(1000 + state % ((1ULL << 53) - 1000)));
    }
    check(9007199254740992.0);  // 2**53 and above: printed directly
    check(1e300);
}

TEST(Formats, ReadPlainFloat) {
    using R = f::PlainFloat;
    const struct {
        const char* text;
        bool commas;
        R result;
        double value;
    } cases[] = {
        {"5", false, R::Number, 5},           {" 12.50 ", false, R::Number, 12.5},
        {"\t\n\v\f\r-7\r", false, R::Number, -7}, {"+.5e-3", false, R::Number, 0.0005},
        {"1.", false, R::Number, 1},          {".5", false, R::Number, 0.5},
        {"1.e5", false, R::Number, 1e5},      {"007", false, R::Number, 7},
        {"1,234", true, R::Number, 1234},     {",,5,", true, R::Number, 5},
        {"1,234", false, R::NotANumber, 0},   {"", false, R::NotANumber, 0},
        {"   ", false, R::NotANumber, 0},     {"n/a", false, R::NotANumber, 0},
        {"1:30", false, R::NotANumber, 0},    {"1 2", false, R::NotANumber, 0},
        {"\x1c" "5", false, R::NotANumber, 0},  // not white space to float()
        {"+-5", false, R::NotANumber, 0},     {"-+5", false, R::NotANumber, 0},
        {"--1", false, R::NotANumber, 0},     {"+", false, R::NotANumber, 0},
        {".", false, R::NotANumber, 0},       {"1e", false, R::NotANumber, 0},
        {"1e+", false, R::NotANumber, 0},     {"e5", false, R::NotANumber, 0},
        {"1..2", false, R::NotANumber, 0},    {"0x10", false, R::NotANumber, 0},
        {"inf", false, R::AskPython, 0},      {"-NaN", false, R::AskPython, 0},
        {"1_000", false, R::AskPython, 0},    {"1e999", false, R::AskPython, 0},
        {"1e-999", false, R::AskPython, 0},
        {"11111111111111111111111111111111111111111111111111111111111111111", false, R::AskPython, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        double value = -1;
        EXPECT_EQ(f::read_plain_float(c.text, c.commas, value), c.result);
        if (c.result == R::Number) EXPECT_EQ(value, c.value);
    }
}
