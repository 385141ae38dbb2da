#include "formats.hpp"

#include <charconv>
#include <cmath>

namespace velmora::formats {

std::string fixed(double value, int decimals) {
    if (std::isnan(value)) return "nan";  // Python never shows the sign of a NaN
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    // The largest double has 309 digits before the point.
    char buf[400];
    auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
    return std::string(buf, r.ptr);
}

std::string size_text(double bytes) {
    static const char* const units[] = {"B", "KB", "MB", "GB"};
    for (const char* unit : units) {
        if (bytes < 1024.0) return fixed(bytes, 2) + " " + unit;
        bytes /= 1024.0;
    }
    return fixed(bytes, 2) + " TB";
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

std::string eta_text(std::int64_t whole_seconds) {
    std::int64_t hours, remainder, minutes, seconds;
    floor_divmod(whole_seconds, 3600, hours, remainder);
    floor_divmod(remainder, 60, minutes, seconds);
    if (hours > 0)
        return std::to_string(hours) + "h " + std::to_string(minutes) + "m " + std::to_string(seconds) + "s";
    if (minutes > 0) return std::to_string(minutes) + "m " + std::to_string(seconds) + "s";
    return std::to_string(seconds) + "s";
}

}  // namespace velmora::formats
