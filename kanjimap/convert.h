// Converting a caller's buffer in place.
#pragma once

#include <cstdint>

namespace kanjimap {

// Converts `length` bytes of `text` from `encoding` (a KANJIMAP_* code 1009-1015) to
// Shift-JIS in place; returns the new length, or `length` with the text untouched when
// there is nothing to convert.
int32_t ConvertBuffer(char* text, int32_t length, int32_t encoding);

}  // namespace kanjimap
