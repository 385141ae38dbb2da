#include <gtest/gtest.h>

#include <string>

#include "show_text.hpp"
#include "video_site.hpp"

using namespace std::string_literals;

namespace vs = velmora::video_site;

namespace {

std::u32string widen(std::string_view ascii) { return std::u32string(ascii.begin(), ascii.end()); }

// The site's hosts as the links are written with them.
const std::u32string M = widen(vs::kMainHost);
const std::u32string S = widen(vs::kShortLinkHost);
const std::u32string BASE = widen(vs::base_address());
const std::u32string ID = U"dQw4w9WgXcQ";

std::u32string upper(std::u32string s) {
    for (char32_t& c : s)
        if (c >= U'a' && c <= U'z') c -= U'a' - U'A';
    return s;
}

}  // namespace

TEST(VideoSite, AddressesAreOnTheWwwHost) {
    EXPECT_EQ(vs::base_address(), "https://www." + std::string(vs::kMainHost) + "/");
    EXPECT_EQ(vs::watch_prefix(), vs::base_address() + "watch?v=");
    EXPECT_EQ(vs::channel_prefix(), vs::base_address() + "channel/");
    EXPECT_EQ(vs::handle_prefix(), vs::base_address() + "@");
    EXPECT_EQ(vs::results_prefix(), vs::base_address() + "results?search_query=");
}

// One table for both: whether the text starts with a watch link, and the
// id found anywhere in it.
TEST(VideoSite, WatchLinksAndVideoIds) {
    const std::u32string none = U"<none>";
    const struct {
        std::u32string url;
        bool valid;
        std::u32string id;
    } cases[] = {
        {M + U"/watch?v=" + ID, true, ID},
        {U"https://www." + M + U"/watch?v=" + ID + U"&t=42s", true, ID},
        {U"http://" + M + U"/watch?v=" + ID, true, ID},
        {U"www." + M + U"/watch?v=" + ID, true, ID},
        {U"https://" + S + U"/" + ID, true, ID},
        {U"http://www." + S + U"/" + ID + U"?t=1", true, ID},
        {S + U"/" + ID, true, ID},
        {U"https://www." + M + U"/embed/" + ID, true, ID},
        {U"https://www." + M + U"/watch?v=" + ID + U"Z", true, ID},      // 12 characters: the first 11
        {U"https://www." + M + U"/watch?v=dQw4w9WgXc", false, none},      // 10 characters
        {U"https://www." + M + U"/watch?v=dQw4w9WgXc&x=1", false, none},  // 10, then another character
        {U"https://m." + M + U"/watch?v=" + ID, false, ID},               // another subdomain
        {U" https://www." + M + U"/watch?v=" + ID, false, ID},            // leading blank
        {U"HTTPS://www." + M + U"/watch?v=" + ID, false, ID},             // capital scheme
        {U"https://www." + upper(M) + U"/watch?v=" + ID, false, none},    // capital host
        {U"https://www." + M + U"/watch?feature=x&v=" + ID, false, none}, // v not first
        {U"https://www." + M + U"/watch?v=dQw4w9Wg\u00e9cQ", false, none},
        {U"https://www." + M + U"/watch?v=dQw4w9Wg\xd800cQ"s, false, none},  // lone surrogate
        {U"\xd800" + S + U"/" + ID, false, ID},
        {U"", false, none},
        // The pattern order decides, not the position: embed first in the
        // text, the short link's id comes out.
        {M + U"/embed/AAAAAAAAAAA " + S + U"/BBBBBBBBBBB", true, U"BBBBBBBBBBB"},
        // A watch page whose id is too short does not stop the search.
        {M + U"/watch?v=short " + M + U"/watch?v=" + ID, false, ID},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(show(c.url));
        EXPECT_EQ(vs::is_watch_link(c.url), c.valid);
        auto id = vs::find_video_id(c.url);
        EXPECT_EQ(id ? std::u32string(*id) : none, c.id);
    }
}

// The looser rule of downloads: "v=" or the short link, anywhere, and the
// first place in the text wins.
TEST(VideoSite, DownloadVideoIds) {
    const std::u32string none = U"<none>";
    const struct {
        std::u32string url, id;
    } cases[] = {
        {U"https://www." + M + U"/watch?v=" + ID, ID},
        {U"https://" + S + U"/" + ID + U"?t=3", ID},
        {U"v=" + ID, ID},
        {U"https://www." + M + U"/watch?v=" + ID + U"Z", ID},          // 12 characters: the first 11
        {U"https://www." + M + U"/watch?v=dQw4w9WgXc&v2=1", none},      // 10, then "&"
        {U"https://www." + M + U"/watch?v=dQw4w9WgXc&v=" + ID, ID},     // a later "v=" is tried too
        {U"https://h.example/?xv=" + ID, ID},                           // the end of a longer key
        {U"https://h.example/?V=" + ID, none},                          // case-sensitive
        {S + U"/AAAAAAAAAAA?v=BBBBBBBBBBB", U"AAAAAAAAAAA"},             // the first place wins,
        {U"?v=BBBBBBBBBBB " + S + U"/AAAAAAAAAAA", U"BBBBBBBBBBB"},      // whichever form it is
        {U"https://www." + M + U"/embed/" + ID, none},                  // not one of the two forms
        {U"https://www." + M + U"/shorts/" + ID, none},
        {U"youtuXbe/" + ID, none},                                      // the dot is a dot
        {U"v=dQw4w9Wg\u00e9cQ", none},
        {U"v=dQw4w9Wg\xd800cQ"s, none},  // lone surrogate
        {U"v=", none},
        {U"", none},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(show(c.url));
        auto id = vs::find_download_video_id(c.url);
        EXPECT_EQ(id ? std::u32string(*id) : none, c.id);
    }
}

TEST(VideoSite, NamesTheSite) {
    const struct {
        std::u32string url;
        bool on_site;
    } cases[] = {
        {U"https://www." + M + U"/watch?v=" + ID, true},
        {U"https://" + S + U"/" + ID, true},
        {U"https://h.example/?from=" + M, true},  // anywhere in the text
        {U"https://www." + upper(M) + U"/watch", false},
        {U"https://h.example/watch?v=" + ID, false},
        {U"", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(show(c.url));
        EXPECT_EQ(vs::names_the_site(c.url), c.on_site);
    }
}

TEST(VideoSite, ChannelIdentifiers) {
    const struct {
        std::u32string text;
        bool channel;
    } cases[] = {
        {U"", false},
        {U" \t\u3000", false},
        {U"@name", true},
        {U"  @name  ", true},
        {U"\u00a0@name", true},  // str.strip() takes every white space
        {U"https://www." + M + U"/user/someone", true},
        {U"https://www." + M + U"/c/someone", true},
        {U"https://www." + M + U"/channel/UCabc", true},
        {U"https://www." + M + U"/@someone", true},
        {upper(U"https://www." + M + U"/c/someone"), true},  // markers are tested on the lower case
        {U"https://www." + M + U"/cx/someone", false},
        {U"UCabcdef", true},
        {U"ucabcdef", false},
        {U"https://www." + M + U"/watch?v=" + ID, false},
        {U"someone", false},
        {U"a\u0130" + M + U"/c/x", true},  // its lower case is two characters
        {U"\u212a", false},                // lowers to "k"
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(show(c.text));
        EXPECT_EQ(vs::is_channel_identifier(c.text), c.channel);
    }
}

TEST(VideoSite, NormalizeChannelIdentifier) {
    const struct {
        std::u32string in, out;
    } cases[] = {
        {U"", U""},
        {U"   ", U""},
        {U"@name", BASE + U"@name"},
        {U"  @name \n", BASE + U"@name"},
        {U"https://elsewhere.example/x ", U"https://elsewhere.example/x"},
        {U"http://" + M + U"/c/name/", U"http://" + M + U"/c/name/"},
        {M + U"/c/name", U"https://" + M + U"/c/name"},
        {U"UCabc123", BASE + U"channel/UCabc123"},
        {U"/c/name", BASE + U"c/name"},
        {U"//c/name", BASE + U"c/name"},
        {U"c/name", BASE + U"c/name"},
        {U"name", BASE + U"name"},
        {U"uc-lower", BASE + U"uc-lower"},
        {U"Www." + M + U"/x", BASE + U"Www." + M + U"/x"},  // the host test is case-sensitive
        {U"@\xdc00"s, BASE + U"@\xdc00"s},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(show(c.in));
        EXPECT_EQ(vs::normalize_channel_identifier(c.in), c.out);
    }
}

// The names of real titles are tested through download_audio_mp3; these
// are the texts no file system takes. A lone surrogate counts 3 bytes.
TEST(VideoSite, Mp3Title) {
    const std::u32string j = U"\u65e5";  // 3 bytes
    const struct {
        std::u32string title, name;
    } cases[] = {
        {std::u32string(66, 0xD800) + U"x/", std::u32string(66, 0xD800) + U"x_"},  // 198 + 1 + 1 bytes
        {std::u32string(66, 0xD800) + j, std::u32string(66, 0xD800)},              // 198 + 3 would be 201
        {std::u32string(99, U'a') + U"/" + j, std::u32string(99, U'a') + U"_"},  // 100 characters first
        {U"", U""},
        // marked last, after the replacements and the cut
        {U"CON", U"CON_"},
        {U"C<O>N", U"C_O_N"},
        {U"nul.tar", U"nul_.tar"},
        {U"CON ", U"CON_ "},  // "CON .mp3" is the device as well
        {U"LPT1." + std::u32string(150, U'x'), U"LPT1_." + std::u32string(95, U'x')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(show(c.title));
        EXPECT_EQ(vs::mp3_title(c.title), c.name);
    }
}

// Whether yt-dlp writes where the template says, or rewrites it first.
TEST(VideoSite, LiteralOutputTemplate) {
    const struct {
        std::u32string tmpl;
        bool literal;
    } cases[] = {
        {U"/music/Song.%(ext)s", true},
        {U"/music/Song.m4a", true},
        {U"C:\\Users\\JOHN~1\\Music\\Song.%(ext)s", true},  // "~" only counts at the start
        {U"music/a~b", true},
        {U"", true},
        {U"~/Music/Song.%(ext)s", false},
        {U"~", false},
        {U"/music$HOME/Song.%(ext)s", false},
        {U"/music/${HOME}.%(ext)s", false},
        {U"/music/%HOME%.%(ext)s", false},
        {U"/music/%(id)s.%(ext)s", false},
        {U"/music/100%.%(ext)s", false},
        {U"/music/Song.%(ext)s%(ext)s", false},  // only one field at the end is the template's own
        {U"/music/%(ext)s/Song", false},
        {U"/music/$", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(show(c.tmpl));
        EXPECT_EQ(vs::is_literal_output_template(c.tmpl), c.literal);
    }
}
