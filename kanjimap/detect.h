// Guessing the encoding of a Japanese text.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kanjimap {

// Codes the detection gives besides the exported KANJIMAP_* ones; they never leave the
// library (callers only name 1, 1014 and 1015).
constexpr int32_t kUtf16Be = 1016;        // UTF-16 big-endian without byte-order mark
constexpr int32_t kUtf16BeMarked = 1017;  // UTF-16 big-endian starting with FE FF

// True when (lead, trail) is a Shift-JIS double-byte character of the table of valid
// pairs (trail 0x7F never is).
bool IsValidSjisPair(unsigned char lead, unsigned char trail);

// One of the KANJIMAP_* codes 1009-1015, or kUtf16Be / kUtf16BeMarked. `guessUnicode`
// allows the guesses UTF-7 and UTF-8; the rule is described in detect.cpp.
int32_t DetectEncoding(const unsigned char* text, size_t length, bool guessUnicode);

// The detection for a text that came out of a Unicode conversion into the code page: it
// is Shift-JIS by construction, so only an ISO-2022-JP text it carried (an ESC byte)
// converts further: KANJIMAP_ISO_2022_JP, else KANJIMAP_SJIS_OR_ASCII.
int32_t DetectAfterUnicode(const unsigned char* text, size_t length);

}  // namespace kanjimap
