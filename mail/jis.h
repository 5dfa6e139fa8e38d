// Shift-JIS text to ISO-2022-JP, as mail texts of character set 128 are sent.
#pragma once

#include <string>
#include <string_view>

namespace mail {

// Converts Shift-JIS (with the vendor extensions of the files' code page) to ISO-2022-JP:
// ESC $ B before double-byte text, ESC ( J before single-byte text that follows it and at
// the end when the text ends in double-byte mode. Half-width katakana become their
// full-width forms, a following voiced or semi-voiced mark folded in where such a form
// exists. IBM extended characters (lead bytes 0xFA-0xFC) become the same characters at
// their NEC-selected positions in rows 89-92, or in row 13 and the standard rows where
// they have one there; the NEC-selected IBM extensions (lead bytes 0xED, 0xEE) land on the
// same places; NEC special characters (lead 0x87) keep their row-13 codes.
// A byte that has no mapping becomes "!!" in double-byte mode.
std::string SjisToIso2022Jp(std::string_view sjis);

// True for the bytes the conversion reads as opening a double-byte character: the code
// page's lead bytes (platform::IsSjisLeadByte), the NEC-selected IBM extensions 0xED and
// 0xEE, and the user-defined rows 0xF0-0xF9. Mail texts are cut only before such a pair.
bool IsJisLeadByte(unsigned char c);

}  // namespace mail
