// Transfer encodings of mail texts.
#pragma once

#include <string>
#include <string_view>

namespace mail {

// Standard Base64 (A-Z a-z 0-9 + /, "=" padding), on one line.
std::string Base64Encode(std::string_view data);

// Quoted-printable as the body is written: 0x21-0x3C and 0x3E-0x7E are copied; a blank or
// tab is copied when a character other than blank or tab follows it later in the text,
// else encoded; every other byte (line feeds included) becomes "=XX". When the output line
// grows past 74 characters and more input follows, a soft break ("=" and a line feed)
// starts a new line.
std::string QuotedPrintableEncode(std::string_view data);

// The same encoding for "Q" encoded words in headers, where the word must stay one token:
// blanks, tabs, "?" and "_" are always encoded and no soft breaks are written.
std::string QEncodeWord(std::string_view data);

}  // namespace mail
