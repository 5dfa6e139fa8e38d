// Keys of the record store: normalisation, order, the 150-byte slot and split-file names.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace varnindex {

// A slot holds a key of at most 149 bytes, zero-terminated and zero-padded.
constexpr size_t kSlotSize = 150;
constexpr size_t kMaxKeyBytes = kSlotSize - 1;

// Cut to 149 bytes; a key of nothing but ASCII blanks and full-width blanks (0x81 0x40)
// becomes empty; ASCII blanks are trimmed at both ends; ASCII capitals are lowered, both
// bytes of Shift-JIS double-byte characters staying as they are.
std::string NormaliseKey(std::string_view raw);

// The key held in a slot (up to its first zero byte, at most 150 bytes).
std::string_view SlotKey(const char* slot);

// Writes the key zero-padded into a 150-byte slot.
void FillSlot(char* slot, std::string_view key);

// Unsigned byte order; a proper prefix sorts first. Negative, zero or positive.
int CompareKeys(std::string_view a, std::string_view b);

// The name of the file that receives the upper half of a split, with `number` 0..999:
// the first six bytes of its first key, "_", the next four bytes when the key is longer
// than seven bytes, lowercased, the three-digit number and ".key". Bytes a file name
// cannot hold ("/", and "." in front, which would hide the file) become "_".
std::string SplitFileName(std::string_view firstKey, int number);

}  // namespace varnindex
