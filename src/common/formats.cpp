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

std::string count_text(double whole) {
    std::string out;
    if (whole >= 1000000.0) {
        append_fixed(out, whole / 1000000.0, 1);
        out += 'M';
    } else if (whole >= 1000.0) {
        append_fixed(out, whole / 1000.0, 1);
        out += 'K';
    } else {
        // Exact digits of the whole number; never "-0".
        append_fixed(out, whole == 0.0 ? 0.0 : whole, 0);
    }
    return out;
}

}  // namespace velmora::formats
