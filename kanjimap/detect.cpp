// Which encoding a Japanese text is in.
//
// The rule, in order; the first step that decides wins:
//  1. A byte-order mark: FF FE is UTF-16 little-endian (1013), FE FF UTF-16 big-endian,
//     EF BB BF UTF-8 (1014).
//  2. UTF-16 without a mark, when the text has a high byte or a zero byte before its end
//     (zero bytes at the very end are a caller's terminators): every 16-bit unit, read in
//     one byte order, is a character of Japanese text (ASCII, Latin-1, Greek, Cyrillic,
//     punctuation and symbols, kana and CJK punctuation, kanji, full- and half-width
//     forms, surrogate pairs) and at least a quarter of them are ASCII, kana, CJK
//     punctuation or full- and half-width forms, the units that give UTF-16 Japanese
//     text its zero, 0x30 and 0xFF bytes. The order with more such units wins,
//     little-endian (1012) on a tie. A text of kanji alone without a mark cannot be told
//     from Shift-JIS kanji and is not taken, nor is a text without high and zero bytes
//     (kana whose bytes are all below 0x80), which stays ASCII.
//  3. An ESC byte: ISO-2022-JP (1011).
//  4. No byte of 0x80 or above: UTF-7 (1015) when guessing Unicode and the text holds at
//     least one shifted run and every "+" opens either "+-" or a run of Base64 that
//     decodes to whole 16-bit units of non-ASCII Japanese text with zero padding bits,
//     all of them characters of the code page; else plain ASCII (1009).
//  5. Well-formed UTF-8 with at least one multi-byte sequence, all of characters of
//     Japanese text as in step 2 (1014), when guessing Unicode. Japanese text in Shift-JIS
//     or EUC-JP is almost never that, while UTF-8 kana and kanji often pass as Shift-JIS
//     pairs, so this test comes first.
//  6. Valid Shift-JIS by the table of pairs (half-width katakana alone, a high byte as the
//     very last byte allowed) and valid EUC-JP (pairs of 0xA1-0xFE in the assigned rows,
//     0x8E with a half-width katakana, 0x8F with a pair): one of them alone decides
//     (1009 or 1010). A text valid in both is made of half-width katakana in the one
//     reading and EUC-JP pairs in the other. EUC-JP pairs of punctuation, hiragana or
//     katakana, or EUC-JP half-width voiced marks after kana that take them, make it
//     EUC-JP; without them, Shift-JIS half-width voiced marks after kana that take them,
//     or the bytes 0x8E and 0x8F (rare in EUC-JP, common kanji lead bytes in Shift-JIS),
//     make it Shift-JIS; else it is EUC-JP (so the pair 0xB0 0xA1 is EUC-JP, as
//     documented). Half-width katakana alone, without voiced marks, stays ambiguous.
//  7. Anything else (broken text): the byte scan of the classic rule, which stops at the
//     first pair that is no Shift-JIS and classes it by its bytes.
#include "kanjimap/detect.h"

#include <string>

#include "kanjimap/KANJIMAP.h"
#include "platform/codepage.h"

namespace kanjimap {
namespace {

constexpr unsigned char kEsc = 0x1B;

bool In(unsigned c, unsigned lo, unsigned hi) {
  return c >= lo && c <= hi;
}

bool IsControl(unsigned char c) {
  return In(c, 0x01, 0x08) || c == 0x0B || c == 0x0C || In(c, 0x0E, 0x1F);
}

// --- UTF-16 -----------------------------------------------------------------------------

// A UTF-16 unit that Japanese text is made of (surrogates are judged by the caller).
bool JapaneseTextUnit(unsigned u) {
  return u == 0x09 || u == 0x0A || u == 0x0D || In(u, 0x20, 0x7E) || In(u, 0xA0, 0xFF) ||
         In(u, 0x0370, 0x04FF) || In(u, 0x2000, 0x27BF) || In(u, 0x3000, 0x30FF) ||
         In(u, 0x3200, 0x33FF) || In(u, 0x4E00, 0x9FFF) || In(u, 0xF900, 0xFAFF) ||
         In(u, 0xFE30, 0xFE4F) || In(u, 0xFF01, 0xFFEF);
}

bool IsAsciiOrKanaOrWidthForm(unsigned u) {
  return u <= 0x7E || In(u, 0x3000, 0x30FF) || In(u, 0xFF01, 0xFFEF);
}

// The number of ASCII and kana units when the text reads as Japanese UTF-16 in the given
// byte order with enough of them; -1 when it does not.
long Utf16Evidence(const unsigned char* text, size_t length, bool bigEndian) {
  if (length < 2 || length % 2 != 0) return -1;
  size_t units = length / 2;
  auto unit = [&](size_t i) -> unsigned {
    const unsigned a = text[2 * i], b = text[2 * i + 1];
    return bigEndian ? (a << 8 | b) : (b << 8 | a);
  };
  while (units > 0 && unit(units - 1) == 0) --units;  // terminators
  if (units == 0) return -1;
  long evidence = 0;
  for (size_t i = 0; i < units; ++i) {
    const unsigned u = unit(i);
    if (In(u, 0xD800, 0xDBFF)) {
      if (i + 1 >= units || !In(unit(i + 1), 0xDC00, 0xDFFF)) return -1;
      ++i;
      continue;
    }
    if (!JapaneseTextUnit(u)) return -1;
    if (IsAsciiOrKanaOrWidthForm(u)) ++evidence;
  }
  return evidence * 4 >= static_cast<long>(units) ? evidence : -1;
}

// --- UTF-7 ------------------------------------------------------------------------------

int Base64Value(unsigned char c) {
  if (In(c, 'A', 'Z')) return c - 'A';
  if (In(c, 'a', 'z')) return c - 'a' + 26;
  if (In(c, '0', '9')) return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// A shifted run of Base64 characters: whole units of non-ASCII Japanese text, appended
// to `utf16` (little-endian).
bool ValidUtf7Run(const unsigned char* run, size_t count, std::string* utf16) {
  const size_t bits = count * 6;
  const size_t units = bits / 16;
  if (units == 0 || bits - units * 16 >= 6) return false;
  unsigned long acc = 0;
  int have = 0;
  unsigned pendingHigh = 0;
  for (size_t i = 0; i < count; ++i) {
    acc = (acc << 6 | static_cast<unsigned>(Base64Value(run[i]))) & 0xFFFFFF;
    have += 6;
    if (have < 16) continue;
    have -= 16;
    const unsigned u = (acc >> have) & 0xFFFF;
    utf16->push_back(static_cast<char>(u & 0xFF));
    utf16->push_back(static_cast<char>(u >> 8));
    if (pendingHigh != 0) {
      if (!In(u, 0xDC00, 0xDFFF)) return false;
      pendingHigh = 0;
    } else if (In(u, 0xD800, 0xDBFF)) {
      pendingHigh = u;
    } else if (u < 0x80 || !JapaneseTextUnit(u)) {
      return false;
    }
  }
  return pendingHigh == 0 && (acc & ((1ul << have) - 1)) == 0;  // padding bits are zero
}

bool LooksLikeUtf7(const unsigned char* text, size_t length) {
  std::string utf16;  // every shifted character
  bool shifted = false;
  size_t i = 0;
  while (i < length) {
    if (text[i] != '+') {
      ++i;
      continue;
    }
    size_t k = i + 1;
    if (k < length && text[k] == '-') {  // "+-" is a plus sign
      i = k + 1;
      continue;
    }
    while (k < length && Base64Value(text[k]) >= 0) ++k;
    if (!ValidUtf7Run(text + i + 1, k - i - 1, &utf16)) return false;
    shifted = true;
    i = k < length && text[k] == '-' ? k + 1 : k;
  }
  // An ASCII word after a plus sign can decode to some rare kanji by chance; text meant
  // for this code page consists of characters that it holds.
  return shifted && platform::ConvertText(utf16, "UTF-16LE", "CP932").has_value();
}

// --- UTF-8 ------------------------------------------------------------------------------

bool IsWellFormedUtf8WithMultiByte(const unsigned char* text, size_t length) {
  bool multiByte = false;
  size_t i = 0;
  while (i < length) {
    const unsigned char c = text[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t need;
    unsigned lo = 0x80, hi = 0xBF;  // bounds of the second byte
    if (In(c, 0xC2, 0xDF)) {
      need = 1;
    } else if (In(c, 0xE0, 0xEF)) {
      need = 2;
      if (c == 0xE0) lo = 0xA0;  // no overlong forms
      if (c == 0xED) hi = 0x9F;  // no surrogates
    } else if (In(c, 0xF0, 0xF4)) {
      need = 3;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (i + need >= length) return false;
    if (!In(text[i + 1], lo, hi)) return false;
    unsigned long code = c & (0x3F >> need);
    for (size_t k = 1; k <= need; ++k) {
      if (!In(text[i + k], 0x80, 0xBF)) return false;
      code = code << 6 | (text[i + k] & 0x3F);
    }
    // Short EUC-JP texts are often well-formed UTF-8 too, but of characters that Japanese
    // text does not hold ("\xC7\xA7" is U+01E7).
    if (code <= 0xFFFF && !JapaneseTextUnit(static_cast<unsigned>(code))) return false;
    multiByte = true;
    i += need + 1;
  }
  return multiByte;
}

// --- Shift-JIS and EUC-JP ---------------------------------------------------------------

// Whether the half-width `mark` (0xDE voiced, 0xDF semi-voiced) belongs to the half-width
// katakana `kana` before it.
bool TakesMark(unsigned char kana, unsigned char mark) {
  const bool voiced = kana == 0xB3 || In(kana, 0xB6, 0xC4) || In(kana, 0xCA, 0xCE);
  return mark == 0xDE ? voiced : mark == 0xDF && In(kana, 0xCA, 0xCE);
}

// Valid Shift-JIS; `voicedMarks` counts half-width voiced and semi-voiced marks after the
// kana that take them.
bool IsValidSjis(const unsigned char* text, size_t length, long* voicedMarks) {
  *voicedMarks = 0;
  size_t i = 0;
  while (i < length) {
    const unsigned char b = text[i];
    if (b < 0x80) {
      ++i;
      continue;
    }
    if (In(b, 0xA0, 0xDF)) {
      if (i > 0 && TakesMark(text[i - 1], b)) ++*voicedMarks;
      ++i;
      continue;
    }
    if (i + 1 >= length) return true;  // a high byte as the very last byte
    if (!IsValidSjisPair(b, text[i + 1])) return false;
    i += 2;
  }
  return true;
}

// Valid EUC-JP; `kanaPairs` counts the pairs of punctuation (row 1), hiragana (row 4)
// and katakana (row 5), which ordinary Japanese text is full of, and half-width voiced
// marks after the kana that take them; `rareCodes` counts the half-width katakana (0x8E)
// and supplementary kanji (0x8F) it holds less often; read as Shift-JIS those bytes open
// common kanji (0x8E 0xD0 is the kanji for "company").
bool IsValidEuc(const unsigned char* text, size_t length, long* kanaPairs, long* rareCodes) {
  *kanaPairs = 0;
  *rareCodes = 0;
  unsigned char lastKana = 0;
  auto inPair = [](unsigned char c) { return In(c, 0xA1, 0xFE); };
  size_t i = 0;
  while (i < length) {
    const unsigned char b = text[i];
    if (b < 0x80) {
      lastKana = 0;
      ++i;
      continue;
    }
    const unsigned char a = i + 1 < length ? text[i + 1] : 0;
    if (b == 0x8E) {
      if (!In(a, 0xA1, 0xDF)) return false;
      ++*rareCodes;
      if (TakesMark(lastKana, a)) ++*kanaPairs;
      lastKana = a;
      i += 2;
      continue;
    } else if (b == 0x8F) {
      if (!inPair(a) || i + 2 >= length || !inPair(text[i + 2])) return false;
      ++*rareCodes;
      i += 3;
    } else if (In(b, 0xA1, 0xA8) || b == 0xAD || In(b, 0xB0, 0xF4)) {
      if (!inPair(a)) return false;
      if (b == 0xA1 || b == 0xA4 || b == 0xA5) ++*kanaPairs;
      i += 2;
    } else {
      return false;  // unassigned rows, user-defined rows, bytes outside EUC-JP
    }
    lastKana = 0;
  }
  return true;
}

// What follows the classic scan's stop at the pair (b, a) that is no Shift-JIS.
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

// The classic byte scan, for texts that no encoding above takes whole.
int32_t ClassicScan(const unsigned char* text, size_t length, bool guessUnicode) {
  size_t i = 0;
  while (i < length) {
    const unsigned char b = text[i];
    if (b == kEsc) return KANJIMAP_ISO_2022_JP;
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
  if (length >= 2 && text[0] == 0xFE && text[1] == 0xFF) return kUtf16BeMarked;
  if (length >= 3 && text[0] == 0xEF && text[1] == 0xBB && text[2] == 0xBF) return KANJIMAP_UTF8;

  bool high = false, esc = false, innerZero = false;
  size_t end = length;
  while (end > 0 && text[end - 1] == 0) --end;
  for (size_t i = 0; i < length; ++i) {
    high = high || text[i] >= 0x80;
    esc = esc || text[i] == kEsc;
    innerZero = innerZero || (text[i] == 0 && i < end);
  }
  if (high || innerZero) {
    // A terminating zero byte after an even count of text bytes is no half unit.
    const size_t units = length % 2 != 0 && text[length - 1] == 0 ? length - 1 : length;
    const long le = Utf16Evidence(text, units, false);
    const long be = Utf16Evidence(text, units, true);
    if (le >= 0 || be >= 0) return le >= be ? KANJIMAP_UTF16LE : kUtf16Be;
  }
  if (esc) return KANJIMAP_ISO_2022_JP;
  if (!high) {
    return guessUnicode && LooksLikeUtf7(text, end) ? KANJIMAP_UTF7 : KANJIMAP_SJIS_OR_ASCII;
  }
  if (guessUnicode && IsWellFormedUtf8WithMultiByte(text, end)) return KANJIMAP_UTF8;
  long voicedMarks = 0, kanaPairs = 0, rareCodes = 0;
  const bool sjis = IsValidSjis(text, end, &voicedMarks);
  const bool euc = IsValidEuc(text, end, &kanaPairs, &rareCodes);
  if (sjis && euc) {
    const bool sjisSigns = voicedMarks + rareCodes > 0;
    return kanaPairs == 0 && sjisSigns ? KANJIMAP_SJIS_OR_ASCII : KANJIMAP_EUC_JP;
  }
  if (sjis) return KANJIMAP_SJIS_OR_ASCII;
  if (euc) return KANJIMAP_EUC_JP;
  return ClassicScan(text, length, guessUnicode);
}

int32_t DetectAfterUnicode(const unsigned char* text, size_t length) {
  for (size_t i = 0; i < length; ++i)
    if (text[i] == kEsc) return KANJIMAP_ISO_2022_JP;
  return KANJIMAP_SJIS_OR_ASCII;
}

}  // namespace kanjimap
