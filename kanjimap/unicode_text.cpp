#include "kanjimap/unicode_text.h"

#include <utility>

#include "platform/codepage.h"

namespace kanjimap {
namespace {

constexpr std::string_view kDefaultChar = "?";
// U+FFFD in UTF-16LE: what a broken sequence decodes to before it meets the code page.
constexpr std::string_view kReplacementUtf16 = "\xFD\xFF";

std::string ToCp932(std::string_view utf16) {
  return platform::ConvertTextReplacing(utf16, "UTF-16LE", "CP932", kDefaultChar, 2)
      .value_or(std::string());
}

}  // namespace

std::string Utf16LeToCp932(std::string_view utf16) {
  return ToCp932(utf16.substr(0, utf16.size() / 2 * 2));
}

std::string Utf16BeToCp932(std::string_view utf16) {
  std::string swapped(utf16.substr(0, utf16.size() / 2 * 2));
  for (size_t i = 0; i + 1 < swapped.size(); i += 2) std::swap(swapped[i], swapped[i + 1]);
  return ToCp932(swapped);
}

std::string Utf8ToCp932(std::string_view utf8) {
  const auto utf16 =
      platform::ConvertTextReplacing(utf8, "UTF-8", "UTF-16LE", kReplacementUtf16, 1);
  return utf16 ? ToCp932(*utf16) : std::string();
}

std::string Utf7ToCp932(std::string_view utf7) {
  const auto utf16 =
      platform::ConvertTextReplacing(utf7, "UTF-7", "UTF-16LE", kReplacementUtf16, 1);
  return utf16 ? ToCp932(*utf16) : std::string();
}

}  // namespace kanjimap
