#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "json_text.hpp"

using velmora::json_text::append_string;
using velmora::json_text::float_text;

namespace {

std::vector<std::uint32_t> ucs4(std::u32string_view text) { return {text.begin(), text.end()}; }
std::vector<std::uint16_t> ucs2(std::u16string_view text) { return {text.begin(), text.end()}; }

template <class Unit>
std::string literal_of(const std::vector<Unit>& units) {
    std::string out;
    EXPECT_TRUE(append_string(out, units.data(), units.size()));
    return out;
}

std::string literal(std::u32string_view text) { return literal_of(ucs4(text)); }
std::string literal16(std::u16string_view text) { return literal_of(ucs2(text)); }
std::string literal8(std::string_view latin1) {
    return literal_of(std::vector<std::uint8_t>(latin1.begin(), latin1.end()));
}

TEST(JsonTextString, EscapesAsPythonDoes) {
    const struct {
        std::u32string text;
        std::string json;
    } cases[] = {
        {U"", "\"\""},
        {U"plain", "\"plain\""},
        {U"a\"b\\c", "\"a\\\"b\\\\c\""},
        {U"\b\f\n\r\t", "\"\\b\\f\\n\\r\\t\""},
        {std::u32string(1, U'\0') + U"\x01\x1f", "\"\\u0000\\u0001\\u001f\""},
        {U"\x7f/", "\"\x7f/\""},
        {U"\u00e9\u00ff", "\"\xc3\xa9\xc3\xbf\""},
        {U"\u2028\u2029", "\"\xe2\x80\xa8\xe2\x80\xa9\""},
        {U"\uffff", "\"\xef\xbf\xbf\""},
        {U"\U0001F600\U0010FFFF", "\"\xf0\x9f\x98\x80\xf4\x8f\xbf\xbf\""},
    };
    for (const auto& c : cases) EXPECT_EQ(literal(c.text), c.json);
}

TEST(JsonTextString, EveryWidthGivesTheSameText) {
    EXPECT_EQ(literal8("caf\xe9\n\x1b"), "\"caf\xc3\xa9\\n\\u001b\"");
    EXPECT_EQ(literal16(u"caf\u00e9\n\x1b\u20ac"), "\"caf\xc3\xa9\\n\\u001b\xe2\x82\xac\"");
    EXPECT_EQ(literal(U"caf\u00e9\n\x1b\u20ac"), "\"caf\xc3\xa9\\n\\u001b\xe2\x82\xac\"");
}

TEST(JsonTextString, SurrogatesAreRefused) {
    const std::u16string narrow[] = {u"\xd800", u"a\xdfff", u"\xd83d\xde00"};
    for (const auto& s : narrow) {
        std::string out;
        const auto units = ucs2(s);
        EXPECT_FALSE(append_string(out, units.data(), units.size()));
    }
    const auto wide = ucs4(U"\U0001F600" + std::u32string(1, char32_t(0xdc80)));
    std::string out;
    EXPECT_FALSE(append_string(out, wide.data(), wide.size()));
}

TEST(JsonTextFloat, LaysOutAsFloatRepr) {
    const struct {
        double value;
        const char* text;
    } cases[] = {
        {0.0, "0.0"},
        {-0.0, "-0.0"},
        {1.0, "1.0"},
        {-2.5, "-2.5"},
        {0.1, "0.1"},
        {1.0 / 3, "0.3333333333333333"},
        {123456.789, "123456.789"},
        {0.0001, "0.0001"},
        {0.00012, "0.00012"},
        {1e-05, "1e-05"},
        {1.5e-05, "1.5e-05"},
        {1e15, "1000000000000000.0"},
        {9999999999999998.0, "9999999999999998.0"},
        {1e16, "1e+16"},
        {2e16 + 8, "2.000000000000001e+16"},
        {1.5e300, "1.5e+300"},
        {1e100, "1e+100"},
        {5e-324, "5e-324"},
        {2.2250738585072014e-308, "2.2250738585072014e-308"},
        {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
        {-std::numeric_limits<double>::max(), "-1.7976931348623157e+308"},
        {std::nan(""), "NaN"},
        {-std::nan(""), "NaN"},
        {std::numeric_limits<double>::infinity(), "Infinity"},
        {-std::numeric_limits<double>::infinity(), "-Infinity"},
    };
    for (const auto& c : cases) EXPECT_EQ(float_text(c.value), c.text) << c.text;
}

TEST(JsonTextInt, FullRange) {
    std::string out;
    velmora::json_text::append_int(out, std::numeric_limits<long long>::min());
    out += ' ';
    velmora::json_text::append_int(out, 0);
    out += ' ';
    velmora::json_text::append_int(out, std::numeric_limits<long long>::max());
    EXPECT_EQ(out, "-9223372036854775808 0 9223372036854775807");
}

}  // namespace
