#include "video_site.hpp"

#include "names.hpp"

namespace velmora::video_site {
namespace {

using Text = std::u32string_view;

constexpr std::string_view kWww = "www.";

std::string www_host() { return std::string(kWww).append(kMainHost); }

// `text[at:].startswith(ascii)`, code point by code point.
bool ascii_at(Text text, std::size_t at, std::string_view ascii) {
    if (at > text.size() || text.size() - at < ascii.size()) return false;
    for (std::size_t i = 0; i < ascii.size(); ++i)
        if (text[at + i] != static_cast<unsigned char>(ascii[i])) return false;
    return true;
}

bool ascii_contains(Text text, std::string_view ascii) {
    if (ascii.size() > text.size()) return false;
    for (std::size_t at = 0; at + ascii.size() <= text.size(); ++at)
        if (ascii_at(text, at, ascii)) return true;
    return false;
}

std::u32string widen(std::string_view ascii) { return std::u32string(ascii.begin(), ascii.end()); }

// The host part of each watch-link pattern, in the order they are tried.
const std::string (&host_parts())[3] {
    static const std::string parts[3] = {
        std::string(kMainHost) + "/watch?v=",
        std::string(kShortLinkHost) + "/",
        std::string(kMainHost) + "/embed/",
    };
    return parts;
}

bool video_id_at(Text text, std::size_t at) {
    if (text.size() - at < kVideoIdLength) return false;
    for (std::size_t i = 0; i < kVideoIdLength; ++i)
        if (!is_video_id_char(text[at + i])) return false;
    return true;
}

// Where the identifier starts when `host_part`'s pattern matches at `at`
// (optional scheme, optional "www.", the host part, 11 id characters), as the
// regular expression tries its options: with the scheme first, then without;
// within each, with "www." first.
std::optional<std::size_t> match_at(Text text, std::size_t at, const std::string& host_part) {
    for (std::string_view scheme : {std::string_view("https://"), std::string_view("http://"), std::string_view()}) {
        if (!ascii_at(text, at, scheme)) continue;
        const std::size_t after_scheme = at + scheme.size();
        for (std::string_view prefix : {kWww, std::string_view()}) {
            if (!ascii_at(text, after_scheme, prefix)) continue;
            const std::size_t host = after_scheme + prefix.size();
            if (ascii_at(text, host, host_part) && video_id_at(text, host + host_part.size()))
                return host + host_part.size();
        }
    }
    return std::nullopt;
}

// `text.lower()` as far as an ASCII marker can see it: ASCII letters are
// lowered, and of all other characters only KELVIN SIGN (to "k") and LATIN
// CAPITAL LETTER I WITH DOT ABOVE (to "i" and a combining dot) lower to
// anything with ASCII in it; every other character stays as it is, since
// neither it nor its lower case can be part of an ASCII match.
std::u32string lowered_for_markers(Text text) {
    std::u32string out;
    out.reserve(text.size());
    for (char32_t c : text) {
        if (c >= U'A' && c <= U'Z') {
            out.push_back(c + (U'a' - U'A'));
        } else if (c == 0x212A) {
            out.push_back(U'k');
        } else if (c == 0x130) {
            out.push_back(U'i');
            out.push_back(0x307);
        } else {
            out.push_back(c);
        }
    }
    return out;
}

}  // namespace

std::string base_address() { return "https://" + www_host() + "/"; }
std::string watch_prefix() { return base_address() + "watch?v="; }
std::string channel_prefix() { return base_address() + "channel/"; }
std::string handle_prefix() { return base_address() + "@"; }
std::string results_prefix() { return base_address() + "results?search_query="; }

bool is_video_id_char(char32_t c) {
    return (c >= U'a' && c <= U'z') || (c >= U'A' && c <= U'Z') || (c >= U'0' && c <= U'9') || c == U'_' ||
           c == U'-';
}

bool is_video_id(Text text) {
    return text.size() == kVideoIdLength && video_id_at(text, 0);
}

bool is_watch_link(Text url) {
    for (const std::string& part : host_parts())
        if (match_at(url, 0, part)) return true;
    return false;
}

std::optional<Text> find_video_id(Text url) {
    for (const std::string& part : host_parts()) {
        const char32_t first = static_cast<unsigned char>(part[0]);
        for (std::size_t at = 0; at < url.size(); ++at) {
            // Every match starts with the scheme, "www." or the host part.
            const char32_t c = url[at];
            if (c != U'h' && c != U'w' && c != first) continue;
            if (auto id = match_at(url, at, part)) return url.substr(*id, kVideoIdLength);
        }
    }
    return std::nullopt;
}

std::optional<Text> find_download_video_id(Text url) {
    const std::string short_link = std::string(kShortLinkHost) + "/";
    for (std::size_t at = 0; at < url.size(); ++at) {
        std::size_t id = at;
        if (ascii_at(url, at, "v="))
            id += 2;
        else if (ascii_at(url, at, short_link))
            id += short_link.size();
        else
            continue;
        if (video_id_at(url, id)) return url.substr(id, kVideoIdLength);
    }
    return std::nullopt;
}

bool names_the_site(Text url) { return ascii_contains(url, kMainHost) || ascii_contains(url, kShortLinkHost); }

Text strip(Text text) {
    std::size_t begin = 0, end = text.size();
    while (begin < end && names::is_space(text[begin])) ++begin;
    while (end > begin && names::is_space(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

bool is_channel_identifier(Text text) {
    const Text query = strip(text);
    if (query.empty()) return false;
    if (query.front() == U'@') return true;
    static const std::string markers[] = {
        std::string(kMainHost) + "/user/",
        std::string(kMainHost) + "/c/",
        std::string(kMainHost) + "/channel/",
        std::string(kMainHost) + "/@",
    };
    const std::u32string lowered = lowered_for_markers(query);
    for (const std::string& marker : markers)
        if (ascii_contains(lowered, marker)) return true;
    return ascii_at(query, 0, "UC");
}

std::u32string normalize_channel_identifier(Text identifier) {
    Text ident = strip(identifier);
    if (ident.empty()) return {};
    if (ident.front() == U'@') return widen(base_address()).append(ident);
    if (ascii_at(ident, 0, "http://") || ascii_at(ident, 0, "https://")) return std::u32string(ident);
    if (ascii_at(ident, 0, kMainHost)) return widen("https://").append(ident);
    if (ascii_at(ident, 0, "UC")) return widen(channel_prefix()).append(ident);
    while (!ident.empty() && ident.front() == U'/') ident.remove_prefix(1);
    return widen(base_address()).append(ident);
}

std::u32string mp3_title(Text title) {
    std::u32string name(names::prefix_within(title, kMp3TitleLength, names::kMaxFileStemBytes));
    for (char32_t& c : name)
        if (std::u32string_view(U"/\\<>:\"|?*").find(c) != std::u32string_view::npos) c = U'_';
    return names::device_safe(std::move(name));
}

bool is_literal_output_template(Text output_template) {
    Text path = output_template;
    if (path.ends_with(kExtensionField)) path.remove_suffix(kExtensionField.size());
    if (!path.empty() && path.front() == U'~') return false;
    return path.find_first_of(U"$%") == Text::npos;
}

}  // namespace velmora::video_site
