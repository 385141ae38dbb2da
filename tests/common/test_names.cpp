#include <gtest/gtest.h>

#include <string>

#include "names.hpp"
#include "show_text.hpp"

using namespace std::string_literals;

namespace n = velmora::names;

TEST(Names, Clean) {
    const struct {
        std::u32string in, out;
    } cases[] = {
        {U"", U""},
        {U"Plain title", U"Plain title"},
        {U"<>:\"/\\|?*", U""},
        {U"  \t<?>\n ", U""},
        {U"a:b/c\\d", U"abcd"},
        {U"a < b", U"a b"},  // removal first, then the blanks merge
        {U"tab\there\r\nand\fthere", U"tab here and there"},
        {U"  both ends  ", U"both ends"},
        {U"nbsp\u00A0em\u2003ideo\u3000line\u2028sep\u001Fnel\u0085end", U"nbsp em ideo line sep nel end"},
        {U"zero\u200Bwidth", U"zero\u200Bwidth"},  // not white space
        {U"nul\u0000esc\u001Bdel\u007Fc1\u0090"s, U"nulescdelc1"},
        {U"a \u0000 b"s, U"a b"},
        {U"dots... ", U"dots..."},
        {U"caf\u00E9 \U0001F600", U"caf\u00E9 \U0001F600"},
        {U"CON", U"CON"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(show(c.in));
        EXPECT_EQ(show(n::clean(c.in)), show(c.out));
    }
}

TEST(Names, SpaceAndRemovedSets) {
    for (char32_t c : {U'\t', U'\n', U'\v', U'\f', U'\r', U'\u001C', U'\u001F', U' ', U'\u0085', U'\u00A0',
                       U'\u1680', U'\u2000', U'\u200A', U'\u2028', U'\u2029', U'\u202F', U'\u205F', U'\u3000'}) {
        EXPECT_TRUE(n::is_space(c)) << static_cast<unsigned long>(c);
        EXPECT_FALSE(n::is_removed(c)) << static_cast<unsigned long>(c);
    }
    for (char32_t c : {U'a', U'\u0008', U'\u180E', U'\u200B', U'\u2060', U'\uFEFF', U'\u0084', U'\u0086'})
        EXPECT_FALSE(n::is_space(c)) << static_cast<unsigned long>(c);
    for (char32_t c : {U'\u0000', U'\u0008', U'\u001B', U'\u007F', U'\u0080', U'\u009F', U'*', U'|'})
        EXPECT_TRUE(n::is_removed(c)) << static_cast<unsigned long>(c);
    for (char32_t c : {U'.', U'\u00A1', U'\u200B', U'\U0001F600', U'-'})
        EXPECT_FALSE(n::is_removed(c)) << static_cast<unsigned long>(c);
}

TEST(Names, DeviceSafe) {
    const struct {
        std::u32string in, out;
    } cases[] = {
        {U"CON", U"CON_"},
        {U"PRN", U"PRN_"},
        {U"AUX", U"AUX_"},
        {U"NUL", U"NUL_"},
        {U"COM0", U"COM0_"},
        {U"COM9", U"COM9_"},
        {U"LPT0", U"LPT0_"},
        {U"LPT9", U"LPT9_"},
        {U"con", U"con_"},
        {U"Aux", U"Aux_"},
        {U"nUl", U"nUl_"},
        {U"cOm5", U"cOm5_"},
        {U"lpt3", U"lpt3_"},
        {U"CON.txt", U"CON_.txt"},
        {U"nul.tar.gz", U"nul_.tar.gz"},
        {U"Aux.mp3", U"Aux_.mp3"},
        {U"con.", U"con_."},
        {U"LPT1..", U"LPT1_.."},
        {U"COM\u00B9", U"COM\u00B9_"},  // superscript digits one to three
        {U"com\u00B2.mp3", U"com\u00B2_.mp3"},
        {U"Com\u00B3", U"Com\u00B3_"},
        {U"LPT\u00B9.txt", U"LPT\u00B9_.txt"},
        {U"lpt\u00B2", U"lpt\u00B2_"},
        {U"LPT\u00B3", U"LPT\u00B3_"},
        {U"CONIN$", U"CONIN$_"},
        {U"conout$.log", U"conout$_.log"},
        {U"CoNiN$", U"CoNiN$_"},
        // spaces at the end of the part are dropped before the comparison
        {U"CON .txt", U"CON_ .txt"},
        {U"nul  .mp3", U"nul_  .mp3"},
        {U"CON ", U"CON_ "},
        {U"CONOUT$ .a.b", U"CONOUT$_ .a.b"},
        {U"COM\u00B9 .m4a", U"COM\u00B9_ .m4a"},
        {U"AUX . .", U"AUX_ . ."},
        // not device names
        {U"", U""},
        {U".", U"."},
        {U" ", U" "},
        {U" .txt", U" .txt"},
        {U".CON", U".CON"},
        {U" CON", U" CON"},
        {U" CON .txt", U" CON .txt"},
        {U"CON\t.txt", U"CON\t.txt"},       // only spaces are dropped
        {U"CON\u00A0.txt", U"CON\u00A0.txt"},
        {U"CON x.txt", U"CON x.txt"},
        {U"CON_", U"CON_"},
        {U"COM10", U"COM10"},
        {U"COM", U"COM"},
        {U"LPT", U"LPT"},
        {U"LPTX", U"LPTX"},
        {U"CONSOLE", U"CONSOLE"},
        {U"CONX.txt", U"CONX.txt"},
        {U"CO", U"CO"},
        {U"x.CON", U"x.CON"},
        {U"COM\u2074", U"COM\u2074"},          // superscript four
        {U"LPT\u2070", U"LPT\u2070"},          // superscript zero
        {U"COM\u00B9\u00B9", U"COM\u00B9\u00B9"},
        {U"COM\u0661", U"COM\u0661"},          // Arabic-Indic one
        {U"CONIN", U"CONIN"},
        {U"CONOUT", U"CONOUT"},
        {U"CON$", U"CON$"},
        {U"CONIN$$", U"CONIN$$"},
        {U"CONERR$", U"CONERR$"},
        {U"\uFF23\uFF2F\uFF2E", U"\uFF23\uFF2F\uFF2E"},  // full-width CON
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(show(c.in));
        EXPECT_EQ(show(n::device_safe(c.in)), show(c.out));
    }
}

TEST(Names, FileStem) {
    const std::u32string word(199, U'w');
    const std::u32string long_word(250, U'x');
    const struct {
        std::u32string in, out;
    } cases[] = {
        {U"", U""},
        {U"??", U""},
        {std::u32string(200, U'a'), std::u32string(200, U'a')},
        {long_word, std::u32string(200, U'x')},
        // blank at index 199: cut there
        {word + U" " + std::u32string(50, U'y'), word},
        // last blank among the first 200 characters wins; the partial word goes
        {U"ab cd " + std::u32string(244, U'z'), U"ab cd"},
        // 200 bytes at most as well: 50 emoji of 4 bytes, 66 kana of 3
        {std::u32string(201, U'\U0001F600'), std::u32string(50, U'\U0001F600')},
        {std::u32string(88, U'\u3042'), std::u32string(66, U'\u3042')},
        // 8 + 96 * 2 bytes fit; the 97th accented letter would not
        {U"Episode " + std::u32string(130, U'\u00E9'), U"Episode"},
        {U"Episode" + std::u32string(130, U'\u00E9'), U"Episode" + std::u32string(96, U'\u00E9')},
        // a lone surrogate counts 3 bytes
        {std::u32string(70, U'\xDC80'), std::u32string(66, U'\xDC80')},
        // ASCII: the character rule alone, as before
        {std::u32string(199, U'a') + U"\u00E9", std::u32string(199, U'a')},
        // removed characters do not count towards the limit
        {std::u32string(300, U'?') + U"short", U"short"},
        {U"Title...", U"Title..."},
        // a device name is marked after cleaning and cutting, past the bound
        {U" con\t", U"con_"},
        {U"N<U>L.x", U"NUL_.x"},
        {U"AUX " + std::u32string(250, U'y'), U"AUX_"},
        {U"COM1." + std::u32string(250, U'z'), U"COM1_." + std::u32string(195, U'z')},
        {U"CON\t.", U"CON_ ."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(show(c.in).substr(0, 40));
        EXPECT_EQ(show(n::file_stem(c.in)), show(c.out));
    }
}

TEST(Names, Utf8Bounds) {
    EXPECT_EQ(n::utf8_length(U"a\u00E9\u3042\U0001F600\xD800"), 1u + 2 + 3 + 4 + 3);
    EXPECT_EQ(n::prefix_within(U"\u00E9\u00E9\u00E9", 10, 5), U"\u00E9\u00E9");
    EXPECT_EQ(n::prefix_within(U"abc", 2, 10), U"ab");
    EXPECT_EQ(n::prefix_within(U"\U0001F600", 5, 3), U"");
}

TEST(Names, FolderName) {
    const struct {
        std::u32string in, out;
    } cases[] = {
        {U"", U""},
        {U"<>", U""},
        {U"Tech Talks Daily", U"Tech Talks Daily"},
        // the 100th character is a blank: 99 characters remain
        {std::u32string(99, U'a') + U" " + std::u32string(20, U'b'), std::u32string(99, U'a')},
        {std::u32string(120, U'c'), std::u32string(100, U'c')},
        // 255 bytes at most: 85 kana of 3 bytes; a blank at the cut goes
        {std::u32string(100, U'\u3042'), std::u32string(85, U'\u3042')},
        {std::u32string(84, U'\u3042') + U" " + std::u32string(20, U'\u3042'), std::u32string(84, U'\u3042')},
        // names made only of dots would lead out of the download folder
        {U".", U""},
        {U"..", U""},
        {U" .. ", U""},
        {U"../..", U""},
        {U"...", U""},
        {U".. .", U""},  // Windows trims trailing dots and blanks: ".."
        {U".\u0000."s, U""},
        {std::u32string(100, U'.') + U"x", U""},
        {U".hidden", U".hidden"},
        {U"a..", U"a.."},
        {U"..\\etc", U"..etc"},
        // a device name is marked after cleaning, cutting and stripping
        {U"CON", U"CON_"},
        {U" c?o*n ", U"con_"},
        {U"aux.d", U"aux_.d"},
        {U"CON." + std::u32string(120, U'x'), U"CON_." + std::u32string(96, U'x')},
        // ... but never past the 255 bytes of a path part
        {U"CON.\u00E9" + std::u32string(83, U'\u3042'), U"CON_.\u00E9" + std::u32string(82, U'\u3042')},
        {U"CON.\u00E9" + std::u32string(82, U'\u3042') + U" \u00E9", U"CON_.\u00E9" + std::u32string(82, U'\u3042')},
        {U"CON.\u00E9" + std::u32string(82, U'\u3042') + U" x", U"CON_.\u00E9" + std::u32string(82, U'\u3042') + U" x"},
        {U"CON Talks", U"CON Talks"},
        {U"Conin$ .d", U"Conin$_ .d"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(show(c.in).substr(0, 40));
        EXPECT_EQ(show(n::folder_name(c.in)), show(c.out));
    }
}

TEST(Names, ServedFileName) {
    const struct {
        std::u32string in, out;
    } cases[] = {
        {U"Film.m4a", U"Film.m4a"},
        {U"movies/Film.m4a", U"Film.m4a"},
        {U"C:Film.mp3", U"Film.mp3"},
        {U"Film: Part <1>?.mp3", U"Film Part 1.mp3"},
        {U"Film.mp3:hidden", U"Film.mp3hidden"},
        {U"Fi\u0000lm\u001B\u007F\u0090.mp3"s, U"Film.mp3"},
        {U"tab\there.mp3", U"tab\there.mp3"},  // white space is no removed character
        {U"CON", U"CON_"},
        {U"nul.tar.gz", U"nul_.tar.gz"},
        {U"shows/Aux.mp3", U"Aux_.mp3"},
        {U"C<O>M1.mp3", U"COM1_.mp3"},
        {U"COM10.mp3", U"COM10.mp3"},
        {U"shows/CON .m4a", U"CON_ .m4a"},
        {U"lpt\u00B3.mp3", U"lpt\u00B3_.mp3"},
        // within a file name's bounds, keeping a plain extension
        {std::u32string(100, U'\u65E5') + U".m4a", std::u32string(66, U'\u65E5') + U".m4a"},
        {std::u32string(200, U'a') + U".mp3", std::u32string(200, U'a') + U".mp3"},
        {std::u32string(201, U'a') + U".mp3", std::u32string(200, U'a') + U".mp3"},
        {U"ab " + std::u32string(250, U'x') + U".mp3", U"ab.mp3"},
        {U"CON " + std::u32string(250, U'x') + U".mp3", U"CON_.mp3"},
        {std::u32string(250, U'a') + U".mp-3", std::u32string(200, U'a')},  // no plain extension: cut with the name
        {std::u32string(100, U'\u65E5') + U".\u65E5", std::u32string(66, U'\u65E5')},
        {U"." + std::u32string(250, U'x'), U"." + std::u32string(199, U'x')},  // a leading dot starts none
        // nothing that names a file is left
        {U"", U""},
        {U"..", U""},
        {U"::", U""},
        {U".:.", U""},
        {U". \u0000 ."s, U""},
        {U"a/<>", U""},
        {U". . " + std::u32string(250, U'x'), U""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(show(c.in));
        EXPECT_EQ(show(n::served_file_name(c.in)), show(c.out));
    }
}

TEST(Names, PlainExtension) {
    const std::u32string plain[] = {U".m4a", U".MP3", U".7z", U".a", U".abcdefghij", U".0123456789"};
    const std::u32string other[] = {U"",      U".",   U"m4a",           U".abcdefghijk",          U".mp3 ",
                                    U".a b",  U".m-4", U"..mp3",        U".\u00E9t\u00E9", U".\uFF4D\uFF50\uFF13",
                                    U".mp3\u0000"s};
    for (const auto& e : plain) EXPECT_TRUE(n::plain_extension(e)) << show(e);
    for (const auto& e : other) EXPECT_FALSE(n::plain_extension(e)) << show(e);
}

TEST(Names, FilePart) {
    const struct {
        std::u32string in, out;
    } cases[] = {
        {U"Film.m4a", U"Film.m4a"},
        {U"movies/Film.m4a", U"Film.m4a"},
        {U"../../etc/passwd", U"passwd"},
        {U"..\\..\\Startup\\run.bat", U"run.bat"},
        {U"a/b\\c", U"c"},
        {U"C:Film.mp3", U"Film.mp3"},
        {U"C:\\Users\\x\\Film.mp3", U"Film.mp3"},
        {U"z:", U""},
        {U"1:Film.mp3", U"1:Film.mp3"},  // not a drive
        {U"Film: Part 1.mp3", U"Film: Part 1.mp3"},
        {U".hidden", U".hidden"},
        {U"...mp3", U"...mp3"},
        // nothing that names a file is left
        {U"", U""},
        {U"movies/", U""},
        {U".", U""},
        {U"..", U""},
        {U"a/..", U""},
        {U".. .", U""},
        {U"   ", U""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(show(c.in));
        EXPECT_EQ(show(std::u32string(n::file_part(c.in))), show(c.out));
    }
}
