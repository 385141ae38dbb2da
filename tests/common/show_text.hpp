// Readable failure output for UTF-32 texts: ASCII as it is, every other
// code point as \u{decimal}.
#pragma once

#include <string>
#include <string_view>

inline std::string show(std::u32string_view s) {
    std::string out;
    for (char32_t c : s) {
        if (c >= 0x20 && c < 0x7F)
            out.push_back(static_cast<char>(c));
        else
            out += "\\u{" + std::to_string(static_cast<unsigned long>(c)) + "}";
    }
    return out;
}
