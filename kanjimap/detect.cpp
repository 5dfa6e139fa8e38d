#include "kanjimap/detect.h"

#include "kanjimap/KANJIMAP.h"

namespace kanjimap {
namespace {

bool In(unsigned char c, unsigned char lo, unsigned char hi) {
  return c >= lo && c <= hi;
}

bool IsControl(unsigned char c) {
  return In(c, 0x01, 0x08) || c == 0x0B || c == 0x0C || In(c, 0x0E, 0x1F);
}

// What follows the scan's stop at the pair (b, a) that is no Shift-JIS.
int32_t ClassifyStop(unsigned char b, unsigned char a, bool guessUnicode) {
  if (In(a, 0x01, 0x3F)) return KANJIMAP_UTF16LE;
  if (b == 0x8E && In(a, 0xA1, 0xDF)) return KANJIMAP_EUC_JP;
  if ((In(b, 0xA1, 0xDF) && In(a, 0xE0, 0xFE)) || (In(b, 0xEB, 0xF2) && In(a, 0xA1, 0xFE))) {
    return KANJIMAP_EUC_JP;
  }
  if ((In(b, 0x81, 0x9F) || In(b, 0xE0, 0xEF)) && (In(a, 0x40, 0x7E) || In(a, 0x80, 0xFC))) {
    return KANJIMAP_EUC_JP;
  }
  return guessUnicode ? KANJIMAP_UTF8 : KANJIMAP_UTF16LE;
}

}  // namespace

bool IsValidSjisPair(unsigned char lead, unsigned char trail) {
  if (trail == 0x7F) return false;
  const unsigned char t = trail;
  switch (lead) {
    case 0x81:
      return In(t, 0x40, 0xAC) || In(t, 0xB8, 0xBF) || In(t, 0xC8, 0xCE) || In(t, 0xDA, 0xE8) ||
             In(t, 0xF0, 0xF7) || t == 0xFC;
    case 0x82:
      return In(t, 0x4F, 0x58) || In(t, 0x60, 0x79) || In(t, 0x81, 0x9A) || In(t, 0x9F, 0xF2);
    case 0x83:
      return In(t, 0x40, 0x96) || In(t, 0x9F, 0xB6) || In(t, 0xBF, 0xD6);
    case 0x84:
      return In(t, 0x40, 0x60) || In(t, 0x70, 0xFC);
    case 0x88:
      return In(t, 0x9F, 0xFC);
    case 0xEA:
      return In(t, 0x40, 0xA4);
    case 0xFB:
      return In(t, 0x40, 0x7E) || In(t, 0x80, 0xFC);
    case 0xFC:
      return In(t, 0x40, 0x4B);
    default:
      break;
  }
  if (lead == 0x87 || In(lead, 0x89, 0x9F) || In(lead, 0xE0, 0xE9) || lead == 0xED ||
      lead == 0xEE || lead == 0xFA) {
    return In(t, 0x40, 0xFC);
  }
  if (In(lead, 0xF0, 0xF9)) return t >= 0x40;
  return false;
}

int32_t DetectEncoding(const unsigned char* text, size_t length, bool guessUnicode) {
  if (length >= 2 && text[0] == 0xFF && text[1] == 0xFE) return KANJIMAP_UTF16LE_MARKED;
  if (guessUnicode && length > 0 && text[0] == '+' && text[length - 1] == '-') {
    bool high = false;
    for (size_t i = 0; i < length && !high; ++i) high = text[i] > 0x80;
    if (!high) return KANJIMAP_UTF7;
  }
  size_t i = 0;
  while (i < length) {
    const unsigned char b = text[i];
    if (b == 0x1B) return KANJIMAP_ISO_2022_JP;
    if (b < 0x80) {
      ++i;
      continue;
    }
    if (i + 1 >= length) return KANJIMAP_SJIS_OR_ASCII;
    const unsigned char a = text[i + 1];
    if (IsValidSjisPair(b, a)) {
      i += 2;
      continue;
    }
    if (IsControl(a) || a == 0xFF) return KANJIMAP_UTF16LE;
    if (In(b, 0xA0, 0xDF)) {  // a half-width katakana on its own
      ++i;
      continue;
    }
    return ClassifyStop(b, a, guessUnicode);
  }
  return KANJIMAP_SJIS_OR_ASCII;
}

}  // namespace kanjimap
