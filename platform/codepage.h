// Text conversions between the files' code page (CP932: ASCII plus Shift-JIS) and UTF-8.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform {

// Converts between any two encodings iconv knows. Returns nothing when the input holds
// a sequence the source encoding does not define or the target cannot hold.
std::optional<std::string> ConvertText(std::string_view input, const char* from, const char* to);

// Like ConvertText, but never fails on content: a sequence the source encoding does not
// define, or a character the target cannot hold, becomes `replacement` (bytes in the target
// encoding) and conversion goes on `inputUnit` bytes further; an incomplete sequence at
// the end becomes one `replacement`. Nothing only when iconv does not know an encoding.
std::optional<std::string> ConvertTextReplacing(std::string_view input, const char* from,
                                                const char* to, std::string_view replacement,
                                                size_t inputUnit);

std::optional<std::string> Cp932ToUtf8(std::string_view cp932);
std::optional<std::string> Utf8ToCp932(std::string_view utf8);

// True for the bytes that open a Shift-JIS double-byte character.
inline bool IsSjisLeadByte(unsigned char c) {
  return (c >= 0x81 && c <= 0x84) || (c >= 0x87 && c <= 0x9F) || (c >= 0xE0 && c <= 0xEA) ||
         (c >= 0xFA && c <= 0xFC);
}

}  // namespace platform
