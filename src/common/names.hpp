// File and folder name rules of the download engine.
//
// Names are handled as sequences of code points (UTF-32), so lengths are
// counted in characters, as the host's text type counts them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace velmora::names {

// Longest file name before the extension dot, and longest content folder name.
inline constexpr std::size_t kMaxFileStem = 200;
inline constexpr std::size_t kMaxFolderName = 100;

// White space as Python's str.isspace() (and `\s` of a text pattern) sees it.
bool is_space(char32_t c);

// Characters a name never keeps: < > : " / \ | ? * and the control
// characters that are not white space (NUL, escape, delete, C1 controls...).
bool is_removed(char32_t c);

// Removes the characters above, turns every run of white space into one
// blank and drops blanks at both ends.
std::u32string clean(std::u32string_view text);

// The file name before the extension: the cleaned title, cut to at most
// kMaxFileStem characters at the last blank within them (without a blank,
// simply the first kMaxFileStem characters).
std::u32string file_stem(std::u32string_view title);

// The folder name for a podcast, channel or content name: the cleaned name,
// cut to kMaxFolderName characters and stripped again. A name made only of
// dots and blanks ("." or "..", or ".. ." which Windows reads as "..") would
// leave the download folder, so it gives the empty name (the download folder
// itself).
std::u32string folder_name(std::u32string_view content_name);

}  // namespace velmora::names
