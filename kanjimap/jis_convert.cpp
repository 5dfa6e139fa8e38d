#include "kanjimap/jis_convert.h"

namespace kanjimap {
namespace {

constexpr unsigned char kEsc = 0x1B;

enum class Mode { kSingle, kKana, kDouble };

bool StartsWith(std::string_view s, size_t at, std::string_view what) {
  return s.compare(at, what.size(), what) == 0;
}

}  // namespace

void AppendJisPairAsSjis(unsigned char j1, unsigned char j2, std::string& out) {
  const int s1 = (j1 + 1) / 2 + (j1 < 0x5F ? 0x70 : 0xB0);
  const int s2 = (j1 & 1) ? j2 + 0x1F + (j2 >= 0x60 ? 1 : 0) : j2 + 0x7E;
  out += static_cast<char>(s1);
  out += static_cast<char>(s2);
}

std::string EucToSjis(std::string_view euc) {
  std::string out;
  out.reserve(euc.size());
  size_t i = 0;
  while (i < euc.size()) {
    const auto c = static_cast<unsigned char>(euc[i]);
    const bool hasNext = i + 1 < euc.size() && euc[i + 1] != '\0';
    const auto next = hasNext ? static_cast<unsigned char>(euc[i + 1]) : 0;
    if (c >= 0xA1 && c <= 0xF4 && hasNext) {
      AppendJisPairAsSjis(c & 0x7F, next & 0x7F, out);
      i += 2;
    } else if (c <= 0x80 || !hasNext) {
      out += static_cast<char>(c);
      ++i;
    } else if (c == 0x8E) {
      if (next >= 0xA1 && next <= 0xDF) {
        out += static_cast<char>(next);  // half-width katakana: the same byte in Shift-JIS
        i += 2;
      } else {
        ++i;
      }
    } else {
      out += static_cast<char>(c);
      out += static_cast<char>(next);
      i += 2;
    }
  }
  return out;
}

std::string Iso2022ToSjis(std::string_view jis) {
  std::string out;
  out.reserve(jis.size());
  Mode mode = Mode::kSingle;
  size_t i = 0;
  while (i < jis.size()) {
    const auto c = static_cast<unsigned char>(jis[i]);
    if (c == kEsc) {
      if (StartsWith(jis, i + 1, "(B") || StartsWith(jis, i + 1, "(J") ||
          StartsWith(jis, i + 1, "(H")) {
        mode = Mode::kSingle;
        i += 3;
      } else if (StartsWith(jis, i + 1, "(I")) {
        mode = Mode::kKana;
        i += 3;
      } else if (StartsWith(jis, i + 1, "$@") || StartsWith(jis, i + 1, "$B")) {
        mode = Mode::kDouble;
        i += 3;
      } else if (StartsWith(jis, i + 1, "&@\x1b$B")) {
        mode = Mode::kDouble;
        i += 6;
      } else if (StartsWith(jis, i + 1, "$(D")) {
        mode = Mode::kDouble;
        i += 4;
      } else {
        mode = Mode::kSingle;  // an unknown sequence: ESC and the byte after it go
        i += 2;
      }
      continue;
    }
    if (c < 0x21 || c == 0x7F || mode == Mode::kSingle) {
      out += static_cast<char>(c);
      ++i;
    } else if (mode == Mode::kKana) {
      if (c <= 0x5F) out += static_cast<char>(c + 0x80);
      ++i;
    } else if (i + 1 < jis.size() && static_cast<unsigned char>(jis[i + 1]) >= 0x21) {
      AppendJisPairAsSjis(c, static_cast<unsigned char>(jis[i + 1]), out);
      i += 2;
    } else {
      ++i;  // half a double-byte character
    }
  }
  return out;
}

}  // namespace kanjimap
