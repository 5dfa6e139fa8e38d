// Guessing the encoding of a Japanese text.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kanjimap {

// True when (lead, trail) is a Shift-JIS double-byte character of the table of valid
// pairs (trail 0x7F never is).
bool IsValidSjisPair(unsigned char lead, unsigned char trail);

// One of the KANJIMAP_* codes 1009-1015. `guessUnicode` allows the guesses UTF-7 (a text
// framed by "+" and "-" without high bytes) and UTF-8 (a high-byte pair that fits none of
// the Japanese encodings); without it such a text counts as UTF-16.
int32_t DetectEncoding(const unsigned char* text, size_t length, bool guessUnicode);

}  // namespace kanjimap
