// The video site (Reelmoor) as the core knows it: its host names, the names
// yt-dlp gives its search and its channel pages, and the plain-text rules on
// its links: watch links and video identifiers, channel identifiers and the
// channel address they stand for.
//
// The values are the ones Debian's yt-dlp 2023.03.04 knows the site by, so
// the addresses the core builds are the ones yt-dlp's own extractors claim
// (the tests prove it offline with their suitable()). Each comment below
// says where its value is found, in yt_dlp/extractor/youtube.py
// (/usr/lib/python3/dist-packages) unless it names another file.
//
// Texts are sequences of code points (UTF-32), as Python's re and str
// methods see them: a lone surrogate or any other non-ASCII character is one
// character that no ASCII literal matches.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace velmora::video_site {

// The main host, a bare domain: YoutubeTabIE._VALID_URL claims
// `(?:\w+\.)?youtube(?:kids)?\.com/` and `_extract_channel_renderer` builds
// channel addresses as "https://www." + this host + "/channel/<id>".
inline constexpr std::string_view kMainHost = "youtube.com";

// The short-link host: YoutubeIE._VALID_URL, the alternative
// `youtu\.be|  # just youtu.be/xxxx` followed by "/" and the video id.
inline constexpr std::string_view kShortLinkHost = "youtu.be";

// The site-search prefix: YoutubeSearchIE._SEARCH_KEY. yt-dlp reads
// "<prefix><n>:<query>" as "the first n results for query"
// (SearchInfoExtractor in extractor/common.py).
inline constexpr std::string_view kSearchPrefix = "ytsearch";

// The extractor key of the site's channel pages: YoutubeTabIE.ie_key(), the
// class name without "IE" (InfoExtractor.ie_key in extractor/common.py).
// Flat channel entries of a results page carry it as "ie_key"
// (`_extract_channel_renderer`).
inline constexpr std::string_view kChannelExtractorKey = "YoutubeTab";

// Addresses the core builds, all on "https://www." + kMainHost:
std::string base_address();     // "https://www.<main host>/"
std::string watch_prefix();     // base + "watch?v=": followed by a video id
std::string channel_prefix();   // base + "channel/": followed by a channel id
std::string handle_prefix();    // base + "@": followed by a name
std::string results_prefix();   // base + "results?search_query=": followed by the escaped query

// A video identifier is 11 characters of [A-Za-z0-9_-].
inline constexpr std::size_t kVideoIdLength = 11;
bool is_video_id_char(char32_t c);
// True when the whole text is one video identifier.
bool is_video_id(std::u32string_view text);

// Watch links, tried in this order: the watch page ("<main>/watch?v=<id>"),
// the short link ("<short>/<id>") and the embed page ("<main>/embed/<id>"),
// each after an optional lower-case "http://" or "https://" and an optional
// "www.". Matching is literal and case-sensitive; nothing after the 11th
// identifier character is looked at.

// True when `url` starts with a watch link (`re.match` of any pattern).
bool is_watch_link(std::u32string_view url);

// The identifier of the first pattern, in pattern order, found anywhere in
// `url` (`re.search` of each pattern in turn), or nothing.
std::optional<std::u32string_view> find_video_id(std::u32string_view url);

// The identifier a download takes from its address: the first place in `url`
// where "v=" (also at the end of a longer key) or "<short>/" is directly
// followed by 11 identifier characters (`re.search` of
// `(?:v=|<short>/)([A-Za-z0-9_-]{11})`), or nothing.
std::optional<std::u32string_view> find_download_video_id(std::u32string_view url);

// True when `url` holds the main host or the short-link host anywhere
// (plain, case-sensitive substring tests).
bool names_the_site(std::u32string_view url);

// True when `text` names a channel: after stripping white space it starts
// with "@", or its lower-case form holds "<main>/user/", "<main>/c/",
// "<main>/channel/" or "<main>/@", or it starts with "UC".
bool is_channel_identifier(std::u32string_view text);

// The channel address for a handle, channel id, address or partial path
// (stripped of white space first): empty for an empty text; base + handle;
// an "http://" or "https://" address unchanged; "https://" + a text starting
// with the main host; the channel page of a "UC" id; else base + the text
// without its leading "/".
std::u32string normalize_channel_identifier(std::u32string_view identifier);

// `text.strip()`: white space (str.isspace) removed at both ends.
std::u32string_view strip(std::u32string_view text);

// The name of a video's mp3 file before ".mp3": the title with each of
// / \ < > : " | ? * made "_", cut to its first kMp3TitleLength
// characters and further to at most names::kMaxFileStemBytes bytes, so the
// name and the working names yt-dlp gives it (".temp.mp3", ".m4a.part")
// fit a path part everywhere; last, names::device_safe, which may take it
// one character past those bounds.
inline constexpr std::size_t kMp3TitleLength = 100;
std::u32string mp3_title(std::u32string_view title);

// yt-dlp's field for the extension of the file it writes, which output
// templates end with.
inline constexpr std::u32string_view kExtensionField = U"%(ext)s";

// True when yt-dlp writes exactly where `output_template` says: the
// template, apart from one kExtensionField at its end, holds no "$" and no
// "%" and does not start with "~". yt-dlp rewrites the whole template,
// folder included, before it fills in its fields: a leading "~" becomes the
// home folder (os.path.expanduser, compat_expanduser in compat/__init__.py),
// "$NAME" and "${NAME}" (and "%NAME%" on Windows) become the variable's
// value (os.path.expandvars), both through utils.expand_path, which
// YoutubeDL._outtmpl_expandpath applies; then every "%(field)s" is filled
// in and "%%" read as "%" (YoutubeDL.evaluate_outtmpl). "%%" would keep a
// "%", but nothing keeps a "$" ("$$" comes out as "$$") or a leading "~",
// so such a path is never handed to yt-dlp at all.
bool is_literal_output_template(std::u32string_view output_template);

}  // namespace velmora::video_site
