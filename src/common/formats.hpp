// Human-readable sizes, speeds and times.
//
// The texts match Python's own formatting of the same values: fixed-point
// numbers are correctly rounded, "nan"/"inf" are spelled as Python spells them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace velmora::formats {

// `value` in fixed-point notation with `decimals` digits after the point, as
// Python's format(value, ".Nf") gives it (correctly rounded, "-0.00", "nan",
// "inf", "-inf").
std::string fixed(double value, int decimals);

// Size text: the value divided by 1024 until it is below 1024 (B, KB, MB, GB;
// TB takes everything larger), with two decimals and the unit after a blank.
// The unit is chosen before rounding, so 1023.999 gives "1024.00 B".
std::string size_text(double bytes);

// Speed text: the size text of a rate per second followed by "/s".
std::string speed_text(double bytes_per_second);

// Time-left text for a whole number of seconds: "1h 2m 5s", "2m 5s", "59s".
// Hours, minutes and seconds come from floor division, as Python's divmod
// gives them for negative numbers too.
std::string eta_text(std::int64_t whole_seconds);

// Play-time text of a whole number of seconds: "1:01:01" when there are
// hours (minutes and seconds two digits), else "59:59", "0:05". Hours,
// minutes and seconds come from floor division, so -5 gives "59:55".
std::string clock_text(std::int64_t whole_seconds);

// Count text of a whole number (a value without fraction, as int(float(x))
// leaves it): one decimal and "M" from a million, one decimal and "K" from a
// thousand (9999 gives "10.0K": the unit is chosen before rounding), else
// the number itself, written out in full however negative.
std::string count_text(double whole);

// Reads ASCII text the way Python's float() reads it, as far as that needs
// no more than the standard parser: an optional sign, digits with an
// optional fraction and exponent, ASCII white space around them; with
// `skip_commas`, every "," is dropped first.
enum class PlainFloat {
    Number,      // `value` holds float(text)
    NotANumber,  // float(text) raises ValueError: empty, or a character no number has
    AskPython,   // something else ("inf", "nan", underscores, out of range...)
};
PlainFloat read_plain_float(std::string_view text, bool skip_commas, double& value);

// The same texts, appended to `out` (for building longer lines).
void append_fixed(std::string& out, double value, int decimals);
void append_size(std::string& out, double bytes);
void append_eta(std::string& out, std::int64_t whole_seconds);

// Text shown while no estimate exists.
inline constexpr const char* kUnknownEta = "Unknown";

}  // namespace velmora::formats
