#include "mail/header_text.h"

#include "mail/encoders.h"
#include "mail/jis.h"

namespace mail {
namespace {

constexpr size_t kMaxBase64Bytes = 102;
constexpr size_t kMaxQBytes = 25;

enum class Word { kNone, kBase64AsIs, kBase64Jis, kQ };

Word WordKind(int charset) {
  switch (charset) {
    case 128:
      return Word::kBase64Jis;
    case 129:
    case 134:
    case 136:
      return Word::kBase64AsIs;
    case 0:
    case 163:
    case 222:
    case 255:
    case 130:
    case 177:
    case 204:
    case 238:
    case 161:
    case 162:
    case 178:
      return Word::kQ;
    default:
      return Word::kNone;
  }
}

const char* WordCharset(int charset) {
  switch (charset) {
    case 128:
      return "iso-2022-jp";
    case 129:
      return "EUC-KR";
    case 134:
      return "gb2312";
    case 136:
      return "big5";
    default:
      return CharsetName(charset);
  }
}

// Length in bytes of the character at `i`: two for a double-byte character.
size_t CharLength(std::string_view text, size_t i, int charset) {
  const unsigned char c = static_cast<unsigned char>(text[i]);
  bool pair = false;
  if (charset == 128)
    pair = IsJisLeadByte(c);
  else if (charset == 129 || charset == 134 || charset == 136)
    pair = c >= 0x81 && c != 0xFF;
  return pair && i + 1 < text.size() ? 2 : 1;
}

}  // namespace

bool HasEightBit(std::string_view text) {
  for (unsigned char c : text)
    if (c >= 0x80) return true;
  return false;
}

const char* CharsetName(int charset) {
  switch (charset) {
    case 0:
    case 163:
    case 222:
    case 255:
      return "iso-8859-1";
    case 128:
      return "iso-2022-jp";
    case 129:
      return "EUC-KR";
    case 130:
    case 177:
    case 204:
    case 238:
      return "iso-8859-2";
    case 134:
      return "gb2312";
    case 136:
      return "big5";
    case 161:
      return "iso-8859-7";
    case 162:
      return "iso-8859-9";
    case 178:
      return "iso-8859-6";
    default:
      return "us-ascii";
  }
}

bool UsesQuotedPrintable(int charset) {
  const std::string_view name = CharsetName(charset);
  return charset != 128 && name != "us-ascii";
}

std::string EncodeHeaderText(std::string_view text, int charset) {
  const Word kind = WordKind(charset);
  if (!HasEightBit(text) || kind == Word::kNone) return std::string(text);
  const std::string prefix =
      std::string("=?") + WordCharset(charset) + (kind == Word::kQ ? "?Q?" : "?B?");
  auto payload = [&](std::string_view piece) {
    switch (kind) {
      case Word::kBase64Jis:
        return SjisToIso2022Jp(piece);
      default:
        return std::string(piece);
    }
  };
  const size_t limit = kind == Word::kQ ? kMaxQBytes : kMaxBase64Bytes;
  std::string out;
  size_t start = 0;
  while (start < text.size()) {
    // The longest run of whole characters whose payload fits the limit (at least one).
    size_t end = start + CharLength(text, start, charset);
    std::string bytes = payload(text.substr(start, end - start));
    while (end < text.size()) {
      const size_t next = end + CharLength(text, end, charset);
      std::string longer = payload(text.substr(start, next - start));
      if (longer.size() > limit) break;
      bytes = std::move(longer);
      end = next;
    }
    if (!out.empty()) out += "\n ";
    out += prefix;
    out += kind == Word::kQ ? QEncodeWord(bytes) : Base64Encode(bytes);
    out += "?=";
    start = end;
  }
  return out;
}

}  // namespace mail
