// Address texts of a mail job: the free lists of the To, Cc and From texts (addresses,
// optionally with display names) reduced to the SMTP envelope, and written as headers.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace mail {

// The bare addresses of a list: a display name before "<" is dropped and the address ends
// at ">"; entries are split at commas, blanks and tabs removed, empty entries skipped; an
// entry of 80 or more characters ends the list (it and the rest are dropped).
std::vector<std::string> BareAddresses(std::string_view list);

// The envelope recipients: the To entries in order, then the Cc entries.
std::vector<std::string> EnvelopeRecipients(std::string_view to, std::string_view cc);

// The address part of a From text: the text in angle brackets, else the first word (words
// are separated by blanks and commas) holding exactly one "@", else the whole text.
// Comments in parentheses and quoted display names are passed over; the second byte of a
// Shift-JIS character is never taken for a mark.
std::string EnvelopeSender(std::string_view from);

// The text of an address header: a display name before "<" goes through the header-text
// encoding of `charset`; a comma that does not follow ">" is written ",\n\t", folding a
// plain list one address per line.
std::string AddressHeaderText(std::string_view text, int charset);

}  // namespace mail
