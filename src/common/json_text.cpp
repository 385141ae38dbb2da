#include "json_text.hpp"

#include <array>
#include <charconv>
#include <cmath>

namespace velmora::json_text {
namespace {

// For each byte: 0 when it is written as it stands, else the letter of its
// escape ('u' for \u00xx); bytes from 0x80 on are marked 'x' (not ASCII).
constexpr std::array<char, 256> make_escapes() {
    std::array<char, 256> t{};
    for (int c = 0; c < 0x20; ++c) t[c] = 'u';
    t['\b'] = 'b';
    t['\f'] = 'f';
    t['\n'] = 'n';
    t['\r'] = 'r';
    t['\t'] = 't';
    t['"'] = '"';
    t['\\'] = '\\';
    for (int c = 0x80; c < 0x100; ++c) t[c] = 'x';
    return t;
}
constexpr std::array<char, 256> kEscape = make_escapes();
constexpr char kHex[] = "0123456789abcdef";

inline void append_ascii_escape(std::string& out, unsigned c) {
    const char e = kEscape[c];
    if (e == 'u') {
        const char u[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xf]};
        out.append(u, 6);
    } else {
        const char s[2] = {'\\', e};
        out.append(s, 2);
    }
}

// Writes one code point from U+0080 on; false for a surrogate.
inline bool append_wide(std::string& out, std::uint32_t c) {
    if (c < 0x800) {
        const char b[2] = {char(0xC0 | (c >> 6)), char(0x80 | (c & 0x3F))};
        out.append(b, 2);
    } else if (c < 0x10000) {
        if (c >= 0xD800 && c <= 0xDFFF) return false;
        const char b[3] = {char(0xE0 | (c >> 12)), char(0x80 | ((c >> 6) & 0x3F)),
                           char(0x80 | (c & 0x3F))};
        out.append(b, 3);
    } else if (c <= 0x10FFFF) {
        const char b[4] = {char(0xF0 | (c >> 18)), char(0x80 | ((c >> 12) & 0x3F)),
                           char(0x80 | ((c >> 6) & 0x3F)), char(0x80 | (c & 0x3F))};
        out.append(b, 4);
    } else {
        return false;
    }
    return true;
}

template <class Unit>
bool append_units(std::string& out, const Unit* p, std::size_t n) {
    out.push_back('"');
    std::size_t i = 0;
    while (i < n) {
        const std::size_t start = i;
        while (i < n && p[i] < 0x80 && kEscape[p[i]] == 0) ++i;
        if (i > start) {
            if constexpr (sizeof(Unit) == 1) {
                out.append(reinterpret_cast<const char*>(p + start), i - start);
            } else {
                for (std::size_t k = start; k < i; ++k) out.push_back(char(p[k]));
            }
        }
        if (i == n) break;
        const std::uint32_t c = p[i++];
        if (c < 0x80) {
            append_ascii_escape(out, c);
        } else if (!append_wide(out, c)) {
            return false;
        }
    }
    out.push_back('"');
    return true;
}

}  // namespace

bool append_string(std::string& out, const std::uint8_t* text, std::size_t size) {
    return append_units(out, text, size);
}
bool append_string(std::string& out, const std::uint16_t* text, std::size_t size) {
    return append_units(out, text, size);
}
bool append_string(std::string& out, const std::uint32_t* text, std::size_t size) {
    return append_units(out, text, size);
}

void append_int(std::string& out, long long value) {
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, r.ptr);
}

void append_float(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "NaN";
        return;
    }
    if (std::isinf(value)) {
        out += value > 0 ? "Infinity" : "-Infinity";
        return;
    }
    // The shortest digits that read back to the same double, in the form
    // d.ddde±x; laid out again below as a float repr does.
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    const char* p = buf;
    if (*p == '-') {
        out.push_back('-');
        ++p;
    }
    char digits[32];
    int count = 0;
    for (; p < r.ptr && *p != 'e'; ++p)
        if (*p != '.') digits[count++] = *p;
    int exponent = 0;
    std::from_chars(p + 1 + (p[1] == '+'), r.ptr, exponent);

    const int point = exponent + 1;  // digits before the decimal point
    if (point <= -4 || point > 16) {
        out.push_back(digits[0]);
        if (count > 1) {
            out.push_back('.');
            out.append(digits + 1, count - 1);
        }
        out.push_back('e');
        out.push_back(exponent < 0 ? '-' : '+');
        const int magnitude = exponent < 0 ? -exponent : exponent;
        if (magnitude < 10) out.push_back('0');
        append_int(out, magnitude);
    } else if (point <= 0) {
        out += "0.";
        out.append(std::size_t(-point), '0');
        out.append(digits, count);
    } else if (point >= count) {
        out.append(digits, count);
        out.append(std::size_t(point - count), '0');
        out += ".0";
    } else {
        out.append(digits, point);
        out.push_back('.');
        out.append(digits + point, count - point);
    }
}

std::string float_text(double value) {
    std::string out;
    append_float(out, value);
    return out;
}

}  // namespace velmora::json_text
