// EUC-JP and ISO-2022-JP to Shift-JIS: both carry JIS X 0208 row/cell pairs.
#pragma once

#include <string>
#include <string_view>

namespace kanjimap {

// The Shift-JIS bytes of the JIS pair (j1, j2).
void AppendJisPairAsSjis(unsigned char j1, unsigned char j2, std::string& out);

// EUC-JP: a pair with a first byte in 0xA1-0xF4 (rows 1 to 84, the last kanji of the
// second level included) is a JIS pair with 0x80 added to both
// bytes; 0x8E and a kana byte is a half-width katakana (its Shift-JIS byte is the kana
// byte itself; a lone 0x8E is dropped); bytes up to 0x80 are copied; any other high byte
// is copied with the byte after it.
std::string EucToSjis(std::string_view euc);

// ISO-2022-JP: escape sequences switch between single-byte, half-width katakana and
// double-byte modes and are dropped; double-byte pairs are JIS pairs; half-width katakana
// become their Shift-JIS bytes; control bytes such as line ends are copied in every mode.
std::string Iso2022ToSjis(std::string_view jis);

}  // namespace kanjimap
