#include "kanjimap/convert.h"

#include <string>
#include <string_view>

#include "kanjimap/KANJIMAP.h"
#include "kanjimap/detect.h"
#include "kanjimap/jis_convert.h"
#include "kanjimap/unicode_text.h"

namespace kanjimap {
namespace {

constexpr char kEsc = 0x1B;

const unsigned char* Bytes(std::string_view s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

// Shift-JIS from a text in the code page that may still be EUC-JP or ISO-2022-JP.
std::string FromCodePage(std::string_view text, int32_t encoding) {
  if (encoding == KANJIMAP_SJIS_OR_ASCII) return std::string(text);
  if (encoding == KANJIMAP_EUC_JP) return EucToSjis(text);
  return Iso2022ToSjis(text);
}

// Copies the result back up to `length` bytes, stopping at a zero byte or an ESC byte, and
// ends it with a zero when it came out shorter.
int32_t CopyBack(char* text, int32_t length, std::string_view result) {
  int32_t n = 0;
  while (n < length && static_cast<size_t>(n) < result.size() && result[n] != '\0' &&
         result[n] != kEsc) {
    text[n] = result[n];
    ++n;
  }
  if (n < length) text[n] = '\0';
  return n;
}

}  // namespace

int32_t ConvertBuffer(char* text, int32_t length, int32_t encoding) {
  if (!text || length <= 0) return length < 0 ? 0 : length;
  const std::string_view in(text, static_cast<size_t>(length));
  std::string codePage;
  switch (encoding) {
    case KANJIMAP_SJIS_OR_ASCII:
      return length;
    case KANJIMAP_EUC_JP:
    case KANJIMAP_ISO_2022_JP:
      return CopyBack(text, length, FromCodePage(in, encoding));
    case KANJIMAP_UTF16LE_MARKED:
      codePage = Utf16LeToCp932(in.substr(2));
      break;
    case kUtf16BeMarked:
      codePage = Utf16BeToCp932(in.substr(2));
      break;
    case kUtf16Be:
      codePage = Utf16BeToCp932(in);
      break;
    case KANJIMAP_UTF8:
      // A byte-order mark is no character of the text.
      codePage = Utf8ToCp932(in.substr(0, 3) == "\xEF\xBB\xBF" ? in.substr(3) : in);
      break;
    case KANJIMAP_UTF7:
      codePage = Utf7ToCp932(in);
      break;
    case KANJIMAP_UTF16LE:
    default:
      codePage = Utf16LeToCp932(in);
      break;
  }
  // A Unicode text that yields nothing stays as it was.
  if (codePage.empty()) return length;
  const int32_t again = DetectAfterUnicode(Bytes(codePage), codePage.size());
  return CopyBack(text, length, FromCodePage(codePage, again));
}

}  // namespace kanjimap
