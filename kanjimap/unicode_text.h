// Unicode texts to the system code page (CP932), as the platform converts them: what the
// code page cannot hold becomes "?".
#pragma once

#include <string>
#include <string_view>

namespace kanjimap {

// UTF-16 little-endian (an odd last byte is ignored) to CP932.
std::string Utf16LeToCp932(std::string_view utf16);

// UTF-16 big-endian (an odd last byte is ignored) to CP932.
std::string Utf16BeToCp932(std::string_view utf16);

// UTF-8 to CP932; a byte that starts no valid sequence becomes "?".
std::string Utf8ToCp932(std::string_view utf8);

// UTF-7 to CP932; a byte that is not valid UTF-7 becomes "?".
std::string Utf7ToCp932(std::string_view utf7);

}  // namespace kanjimap
