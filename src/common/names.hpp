// File and folder name rules of the download engine.
//
// Names are handled as sequences of code points (UTF-32). A name is bounded
// twice: in characters, as the host's text type counts them, and in bytes,
// because file systems bound one path part in bytes (255 on Linux and
// macOS) or in UTF-16 units (255 on Windows). The byte count is the UTF-8
// length, a lone surrogate counting 3; it is never below the UTF-16 count,
// so one bound serves every platform and a name is the same everywhere.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace velmora::names {

// Longest file name before the extension dot, and longest content folder
// name, in characters and in bytes. A stem of 200 bytes leaves room for the
// extension and the suffixes the transfers add (".part", yt-dlp's
// ".f140.m4a.part" and the like) within one path part of 255.
inline constexpr std::size_t kMaxFileStem = 200;
inline constexpr std::size_t kMaxFileStemBytes = 200;
inline constexpr std::size_t kMaxFolderName = 100;
inline constexpr std::size_t kMaxFolderNameBytes = 255;

// The UTF-8 length of one code point (a lone surrogate: 3).
std::size_t utf8_length(char32_t c);
// The UTF-8 length of a text.
std::size_t utf8_length(std::u32string_view text);

// The longest prefix of `text` with at most `max_chars` characters and at
// most `max_bytes` bytes.
std::u32string_view prefix_within(std::u32string_view text, std::size_t max_chars, std::size_t max_bytes);

// White space as Python's str.isspace() (and `\s` of a text pattern) sees it.
bool is_space(char32_t c);

// Characters a name never keeps: < > : " / \ | ? * and the control
// characters that are not white space (NUL, escape, delete, C1 controls...).
bool is_removed(char32_t c);

// Removes the characters above, turns every run of white space into one
// blank and drops blanks at both ends.
std::u32string clean(std::u32string_view text);

// Windows takes a name for a device when its part before the first dot (the
// whole name when it has none), without the spaces at its end, is CON, PRN,
// AUX, NUL, COM0-COM9, COM\u00B9-COM\u00B3, LPT0-LPT9, LPT\u00B9-LPT\u00B3 (the
// superscript digits one to three), CONIN$ or CONOUT$, in any case: what is
// written to it vanishes and success is reported. The name with a "_" right
// after such a word ("CON" -> "CON_", "nul.tar.gz" -> "nul_.tar.gz",
// "CON .txt" -> "CON_ .txt"); any other name as it is. Applied on every
// platform, so a name is the same everywhere. Only ASCII letters, the digits
// named and spaces (U+0020) match: "COM10", " CON", "CON\t.txt" and
// "COM\u2074" stay.
std::u32string device_safe(std::u32string name);

// A file name before its extension within kMaxFileStem characters and
// kMaxFileStemBytes bytes: the stem as it is when it fits; else its longest
// prefix within both, cut at the last blank in that prefix (without a
// blank, the prefix itself).
std::u32string stem_within_bounds(std::u32string stem);

// The file name before the extension: the cleaned title within the bounds
// of stem_within_bounds; then device_safe. The mark may take the stem
// one character (and byte) past its bounds: a name must never be a device,
// and the room the byte bound leaves for extension and suffixes takes it.
std::u32string file_stem(std::u32string_view title);

// The folder name for a podcast, channel or content name: the cleaned name,
// cut to its longest prefix within kMaxFolderName characters and
// kMaxFolderNameBytes bytes and stripped again. A name made only of
// dots and blanks ("." or "..", or ".. ." which Windows reads as "..") would
// leave the download folder, so it gives the empty name (the download folder
// itself). Then device_safe, which may take the name one character past
// kMaxFolderName; kMaxFolderNameBytes is all a path part holds, so when the
// mark passes it, the name loses its last characters (and blanks at its end)
// instead.
std::u32string folder_name(std::u32string_view content_name);

// The part of a file name sent by a server that can name a file inside a
// chosen folder: what follows the last "/" or "\\" and a drive prefix
// ("C:" of "C:name", which Windows reads as a path on that drive), so that
// the name never leads out of the folder. Empty when nothing is left or
// only dots and blanks are (".", "..", and ".. ." which Windows reads as "..").
std::u32string_view file_part(std::u32string_view served_name);

// A file name sent by a server as the name of a file in a chosen folder:
// its file_part without the characters is_removed names; the part before a
// plain extension (the whole name without one) within the bounds of
// stem_within_bounds, so the name fits a path part; then device_safe.
// Empty when nothing is left that names a file (only dots and blanks).
std::u32string served_file_name(std::u32string_view served_name);

// A plain file extension: a dot and 1 to 10 ASCII letters or digits. Only
// such an extension of a served name is ever taken.
bool plain_extension(std::u32string_view extension);

}  // namespace velmora::names
