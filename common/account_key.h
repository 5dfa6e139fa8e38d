// The account key: the first 31 bytes of the server name as lower-case hex digits. It names
// the account's record and status files and stands in the display log.
#pragma once

#include <string>
#include <string_view>

namespace common {

constexpr size_t kKeySourceBytes = 31;

// Hex key of a name (first 31 bytes, "%02x" each; case is not folded).
std::string HexKey(std::string_view name);

// The readable name of a key: the part from the last "(" on is set aside, hex pairs (either
// case; any other character counts as -1) become bytes, a final Shift-JIS lead byte
// (platform::IsSjisLeadByte) whose trail byte is missing is cut, and the set-aside part is
// appended. Every name whose first 31 bytes end on a character boundary decodes to itself.
std::string DecodeKey(std::string_view key);

// In-place forms over a 65-byte buffer, as the console's dialogs use them.
void MakeAccountKey(char name[65]);
void DecodeAccountKey(char key[65]);

}  // namespace common
