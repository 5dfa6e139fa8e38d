// Header texts (subject, display names, attachment names) in the character set of the mail.
#pragma once

#include <string>
#include <string_view>

namespace mail {

// A text without bytes of 0x80 or above comes back unchanged. Otherwise it becomes encoded
// words by the Windows character-set code: 128 "=?iso-2022-jp?B?" (converted from
// Shift-JIS), 129 EUC-KR, 134 gb2312 and 136 big5 in Base64 of the bytes as they are;
// 0, 163, 222, 255 iso-8859-1, 130, 177, 204, 238 iso-8859-2, 161 iso-8859-7,
// 162 iso-8859-9 and 178 iso-8859-6 as "Q" words; any other code leaves the text unchanged.
// Each Base64 word covers at most 102 bytes and each "Q" word at most 25 bytes of the
// text, cut between characters; longer texts become several words on folded lines, so
// nothing is lost and no line grows without bound.
std::string EncodeHeaderText(std::string_view text, int charset);

// The MIME name of the body's character set for a code ("iso-2022-jp", "iso-8859-1", ...,
// "us-ascii" for codes without one).
const char* CharsetName(int charset);

// True for the codes whose 8-bit texts are sent quoted-printable.
bool UsesQuotedPrintable(int charset);

bool HasEightBit(std::string_view text);

}  // namespace mail
