#include "names.hpp"

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

std::u32string file_stem(std::u32string_view title) {
    std::u32string name = clean(title);
    const std::size_t fits = prefix_within(name, kMaxFileStem, kMaxFileStemBytes).size();
    if (fits < name.size()) {
        name.resize(fits);
        const std::size_t blank = name.rfind(U' ');
        if (blank != std::u32string::npos) name.resize(blank);
    }
    return name;
}

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

}  // namespace velmora::names
