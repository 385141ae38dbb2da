// The data file's JSON text: string escaping and number layout.
//
// Strings are written as JSON string literals in UTF-8: the quotation mark,
// the backslash, \b \f \n \r \t get their short escapes, every other control
// character below U+0020 becomes \u00xx (lower-case hex), and everything else
// (U+007F, U+2028, astral characters) is written as itself.
//
// Floats are written the way Python's float repr writes them (shortest text
// that reads back to the same value; exponent form below 1e-4 and from 1e16
// on, as "1e+16" or "1.5e-05"), with NaN, Infinity and -Infinity for the
// values JSON has no number for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace velmora::json_text {

// Appends the quoted, escaped literal for a string of code points, given in
// one of the three widths Python keeps its strings in (Latin-1 bytes, UCS-2,
// UCS-4). Returns false, with `out` partly written, when the text holds a
// surrogate code point (U+D800-U+DFFF), which UTF-8 cannot carry; Latin-1
// text never fails.
bool append_string(std::string& out, const std::uint8_t* text, std::size_t size);
bool append_string(std::string& out, const std::uint16_t* text, std::size_t size);
bool append_string(std::string& out, const std::uint32_t* text, std::size_t size);

// Appends the number's text.
void append_float(std::string& out, double value);
void append_int(std::string& out, long long value);

// append_float into a new string.
std::string float_text(double value);

}  // namespace velmora::json_text
