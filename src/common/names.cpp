#include "names.hpp"

#include <algorithm>

namespace velmora::names {

bool is_space(char32_t c) {
    if (c <= 0x20) return c == 0x20 || (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x1F);
    if (c < 0x85) return false;
    switch (c) {
        case 0x85:
        case 0xA0:
        case 0x1680:
        case 0x2028:
        case 0x2029:
        case 0x202F:
        case 0x205F:
        case 0x3000:
            return true;
        default:
            return c >= 0x2000 && c <= 0x200A;
    }
}

bool is_removed(char32_t c) {
    switch (c) {
        case U'<':
        case U'>':
        case U':':
        case U'"':
        case U'/':
        case U'\\':
        case U'|':
        case U'?':
        case U'*':
            return true;
        default:
            break;
    }
    const bool control = c < 0x20 || (c >= 0x7F && c <= 0x9F);
    return control && !is_space(c);
}

std::u32string clean(std::u32string_view text) {
    std::u32string out;
    out.reserve(text.size());
    bool pending_blank = false;  // white space seen since the last kept character
    for (char32_t c : text) {
        if (is_removed(c)) continue;
        if (is_space(c)) {
            pending_blank = true;
            continue;
        }
        if (pending_blank && !out.empty()) out.push_back(U' ');
        pending_blank = false;
        out.push_back(c);
    }
    return out;
}

namespace {
std::u32string strip_blanks(std::u32string s) {
    std::size_t begin = 0, end = s.size();
    while (begin < end && is_space(s[begin])) ++begin;
    while (end > begin && is_space(s[end - 1])) --end;
    return s.substr(begin, end - begin);
}
}  // namespace

std::size_t utf8_length(char32_t c) {
    if (c < 0x80) return 1;
    if (c < 0x800) return 2;
    if (c < 0x10000) return 3;  // lone surrogates included
    return 4;
}

std::size_t utf8_length(std::u32string_view text) {
    std::size_t bytes = 0;
    for (char32_t c : text) bytes += utf8_length(c);
    return bytes;
}

std::u32string_view prefix_within(std::u32string_view text, std::size_t max_chars, std::size_t max_bytes) {
    std::size_t n = 0, bytes = 0;
    while (n < text.size() && n < max_chars) {
        const std::size_t next = bytes + utf8_length(text[n]);
        if (next > max_bytes) break;
        bytes = next;
        ++n;
    }
    return text.substr(0, n);
}

namespace {
char32_t ascii_upper(char32_t c) { return c >= U'a' && c <= U'z' ? c - (U'a' - U'A') : c; }

bool is_device(std::u32string_view word) {
    static constexpr std::u32string_view kWords[] = {U"CON", U"PRN", U"AUX", U"NUL", U"CONIN$", U"CONOUT$"};
    char32_t up[7] = {};
    if (word.size() > std::size(up)) return false;
    for (std::size_t i = 0; i < word.size(); ++i) up[i] = ascii_upper(word[i]);
    const std::u32string_view w(up, word.size());
    for (std::u32string_view k : kWords)
        if (w == k) return true;
    if (w.size() != 4 || (w.substr(0, 3) != U"COM" && w.substr(0, 3) != U"LPT")) return false;
    // Windows' own list takes the superscript digits one to three as well.
    return (w[3] >= U'0' && w[3] <= U'9') || w[3] == U'\u00B9' || w[3] == U'\u00B2' || w[3] == U'\u00B3';
}
}  // namespace

std::u32string device_safe(std::u32string name) {
    std::size_t end = std::min(name.find(U'.'), name.size());
    // Windows drops the spaces at the end of that part before it compares:
    // "CON .txt" is the device too. Other white space is part of the name.
    while (end > 0 && name[end - 1] == U' ') --end;
    if (is_device(std::u32string_view(name).substr(0, end))) name.insert(end, 1, U'_');
    return name;
}

std::u32string stem_within_bounds(std::u32string stem) {
    const std::size_t fits = prefix_within(stem, kMaxFileStem, kMaxFileStemBytes).size();
    if (fits < stem.size()) {
        stem.resize(fits);
        const std::size_t blank = stem.rfind(U' ');
        if (blank != std::u32string::npos) stem.resize(blank);
    }
    return stem;
}

std::u32string file_stem(std::u32string_view title) { return device_safe(stem_within_bounds(clean(title))); }

std::u32string folder_name(std::u32string_view content_name) {
    std::u32string name = clean(content_name);
    const std::size_t fits = prefix_within(name, kMaxFolderName, kMaxFolderNameBytes).size();
    if (fits < name.size()) {
        name.resize(fits);
        name = strip_blanks(std::move(name));
    }
    // Only dots (and blanks, which Windows trims from the end of a path part
    // together with dots, so ".. ." would mean ".." there).
    if (name.find_first_not_of(U". ") == std::u32string::npos) name.clear();
    name = device_safe(std::move(name));
    if (utf8_length(name) > kMaxFolderNameBytes) {
        name.resize(prefix_within(name, name.size(), kMaxFolderNameBytes).size());
        name = strip_blanks(std::move(name));
    }
    return name;
}

std::u32string_view file_part(std::u32string_view served_name) {
    std::u32string_view part = served_name;
    const std::size_t separator = part.find_last_of(U"/\\");
    if (separator != std::u32string_view::npos) part.remove_prefix(separator + 1);
    const bool drive = part.size() >= 2 && part[1] == U':' &&
                       ((part[0] >= U'A' && part[0] <= U'Z') || (part[0] >= U'a' && part[0] <= U'z'));
    if (drive) part.remove_prefix(2);
    if (part.find_first_not_of(U". ") == std::u32string_view::npos) return {};
    return part;
}

std::u32string served_file_name(std::u32string_view served_name) {
    std::u32string name;
    for (char32_t c : file_part(served_name))
        if (!is_removed(c)) name.push_back(c);
    // The extension as os.path.splitext finds it: from the last dot, unless
    // only dots come before it.
    const std::size_t dot = name.rfind(U'.');
    const bool has_extension = dot != std::u32string::npos && name.find_first_not_of(U'.') < dot;
    if (has_extension && plain_extension(std::u32string_view(name).substr(dot))) {
        std::u32string extension = name.substr(dot);
        name.resize(dot);
        name = stem_within_bounds(std::move(name)) + extension;
    } else {
        name = stem_within_bounds(std::move(name));
    }
    // Removal can leave ".." of ".:.", and the cut ". ." of ". . name".
    if (name.find_first_not_of(U". ") == std::u32string::npos) return {};
    return device_safe(std::move(name));
}

bool plain_extension(std::u32string_view extension) {
    if (extension.size() < 2 || extension.size() > 11 || extension[0] != U'.') return false;
    for (char32_t c : extension.substr(1)) {
        const bool ok = (c >= U'a' && c <= U'z') || (c >= U'A' && c <= U'Z') || (c >= U'0' && c <= U'9');
        if (!ok) return false;
    }
    return true;
}

}  // namespace velmora::names
