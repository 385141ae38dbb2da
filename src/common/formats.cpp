#include "formats.hpp"

#include <charconv>
#include <cmath>
#include <system_error>

namespace velmora::formats {

void append_fixed(std::string& out, double value, int decimals) {
    if (std::isnan(value)) {
        out += "nan";  // Python never shows the sign of a NaN
        return;
    }
    if (std::isinf(value)) {
        out += value < 0 ? "-inf" : "inf";
        return;
    }
    // The largest double has 309 digits before the point.
    char buf[400];
    auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
    if (r.ec == std::errc()) out.append(buf, r.ptr);  // fails only for absurd numbers of decimals
}

std::string fixed(double value, int decimals) {
    std::string out;
    append_fixed(out, value, decimals);
    return out;
}

void append_size(std::string& out, double bytes) {
    static const char* const units[] = {" B", " KB", " MB", " GB"};
    for (const char* unit : units) {
        if (bytes < 1024.0) {
            append_fixed(out, bytes, 2);
            out += unit;
            return;
        }
        bytes /= 1024.0;
    }
    append_fixed(out, bytes, 2);
    out += " TB";
}

std::string size_text(double bytes) {
    std::string out;
    append_size(out, bytes);
    return out;
}

std::string speed_text(double bytes_per_second) { return size_text(bytes_per_second) + "/s"; }

namespace {
// Python's divmod for integers: the remainder takes the sign of the divisor.
void floor_divmod(std::int64_t a, std::int64_t b, std::int64_t& q, std::int64_t& r) {
    q = a / b;
    r = a % b;
    if (r != 0 && ((r < 0) != (b < 0))) {
        q -= 1;
        r += b;
    }
}
}  // namespace

void append_eta(std::string& out, std::int64_t whole_seconds) {
    std::int64_t hours, remainder, minutes, seconds;
    floor_divmod(whole_seconds, 3600, hours, remainder);
    floor_divmod(remainder, 60, minutes, seconds);
    char buf[24];
    auto number = [&](std::int64_t v, const char* unit) {
        auto r = std::to_chars(buf, buf + sizeof buf, v);
        out.append(buf, r.ptr);
        out += unit;
    };
    if (hours > 0) {
        number(hours, "h ");
        number(minutes, "m ");
    } else if (minutes > 0) {
        number(minutes, "m ");
    }
    number(seconds, "s");
}

std::string eta_text(std::int64_t whole_seconds) {
    std::string out;
    append_eta(out, whole_seconds);
    return out;
}

std::string clock_text(std::int64_t whole_seconds) {
    std::int64_t hours, remainder, minutes, seconds;
    floor_divmod(whole_seconds, 3600, hours, remainder);
    floor_divmod(remainder, 60, minutes, seconds);
    char buf[32];
    char* end = buf + sizeof buf;
    auto two_digits = [](char* at, std::int64_t v) {
        at[0] = static_cast<char>('0' + v / 10);
        at[1] = static_cast<char>('0' + v % 10);
    };
    char* p;
    if (hours > 0) {
        p = std::to_chars(buf, end, hours).ptr;
        *p++ = ':';
        two_digits(p, minutes);
        p += 2;
    } else {
        p = std::to_chars(buf, end, minutes).ptr;
    }
    *p++ = ':';
    two_digits(p, seconds);
    return std::string(buf, p + 2);
}

namespace {
// `whole / unit` with one decimal, as format(whole / unit, ".1f") writes the
// double nearest the quotient: for a whole below 2**53, the tenths come
// from integer division, and whether the double lies above, below or on
// the half between two tenths from one exact fused multiply-add.
void append_tenths(std::string& out, double whole, std::int64_t unit) {
    constexpr double kExact = 9007199254740992.0;  // 2**53
    const double quotient = whole / static_cast<double>(unit);
    if (whole >= kExact) {
        append_fixed(out, quotient, 1);
        return;
    }
    const std::int64_t count = static_cast<std::int64_t>(whole);
    std::int64_t tenths = count * 10 / unit;  // the exact quotient's, rounded down
    // Sign of quotient * 20 - (2 * tenths + 1): exact, since fma rounds once.
    const double side = std::fma(quotient, 20.0, -static_cast<double>(2 * tenths + 1));
    if (side > 0 || (side == 0 && tenths % 2 == 1)) ++tenths;
    char buf[24];
    char* p = std::to_chars(buf, buf + sizeof buf, tenths / 10).ptr;
    *p++ = '.';
    *p++ = static_cast<char>('0' + tenths % 10);
    out.append(buf, p);
}
}  // namespace

std::string count_text(double whole) {
    std::string out;
    if (whole >= 1000000.0) {
        append_tenths(out, whole, 1000000);
        out += 'M';
    } else if (whole >= 1000.0) {
        append_tenths(out, whole, 1000);
        out += 'K';
    } else if (whole > -9.2e18) {
        char buf[24];
        out.append(buf, std::to_chars(buf, buf + sizeof buf, static_cast<std::int64_t>(whole)).ptr);
    } else {
        append_fixed(out, whole, 0);  // the exact digits of a whole double
    }
    return out;
}

namespace {
// What float() strips from ASCII text: C's isspace().
bool ascii_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool plain_number_char(char c) {
    return (c >= '0' && c <= '9') || c == '.' || c == 'e' || c == 'E' || c == '+' || c == '-';
}
// A character of some text float() accepts: of a number, of an underscore
// between digits, or of "inf", "infinity" and "nan" in any case.
bool float_char(char c) {
    if (plain_number_char(c) || c == '_') return true;
    switch (c | 0x20) {
        case 'i': case 'n': case 'f': case 't': case 'y': case 'a':
            return true;
        default:
            return false;
    }
}
}  // namespace

PlainFloat read_plain_float(std::string_view text, bool skip_commas, double& value) {
    char buf[64];
    std::size_t n = 0;
    for (char c : text) {
        if (skip_commas && c == ',') continue;
        if (n == sizeof buf) return PlainFloat::AskPython;
        buf[n++] = c;
    }
    const char* first = buf;
    const char* last = buf + n;
    while (first < last && ascii_space(*first)) ++first;
    while (last > first && ascii_space(last[-1])) --last;
    if (first == last) return PlainFloat::NotANumber;
    bool plain = true;
    for (const char* p = first; p < last; ++p) {
        if (!float_char(*p)) return PlainFloat::NotANumber;
        plain = plain && plain_number_char(*p);
    }
    if (!plain) return PlainFloat::AskPython;
    // from_chars takes a "-" but no "+"; a second sign makes no number.
    if (*first == '+') {
        ++first;
        if (first < last && (*first == '+' || *first == '-')) return PlainFloat::NotANumber;
    }
    double parsed;
    auto r = std::from_chars(first, last, parsed, std::chars_format::general);
    if (r.ec == std::errc::result_out_of_range) return PlainFloat::AskPython;  // inf, or 0.0
    if (r.ec != std::errc() || r.ptr != last) return PlainFloat::NotANumber;
    value = parsed;
    return PlainFloat::Number;
}

}  // namespace velmora::formats
