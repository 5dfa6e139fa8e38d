// The account list as CSV: one line of 51 fields per account, written by the export and
// read by the import. Fields are separated by ",", a line ends with "\r\n", there is no
// header line. A text holding ",", a double quote, CR or LF is written in double quotes
// with every double quote doubled and CRs left out; everything else is written bare, and
// numbers and flags in decimal. The texts are CP932 as the records hold them.
//
// Field order: 1 server name, 2 domain or IP, 3 POP server, 4 page path, 5 ping on,
// 6 HTTP port on, 7 HTTP time-out, 8 HTTP page flag, 9 check links, 10 FTP port on,
// 11 FTP transfer flag, 12 remote directory, 13 FTP user, 14 FTP password, 15 SMTP port on,
// 16 POP3 port on, 17 send/receive time-out, 18 e-mail flag, 19 test recipient, 20 SMTP
// authentication, 21 SMTP user, 22 SMTP password, 23 POP user, 24 POP password, 25 custom
// ports on, 26/27 custom service 1 and its port, 28-35 services 2-5 each with its port,
// 36-41 down/up subject, down/up body, down/up online message, 42 global mail templates,
// 43 global To addresses, 44 additional addresses, 45 the additional e-mail addresses,
// 46 global online templates, 47 global destinations, 48 additional destinations, 49 the
// additional destinations, 50 enabled, 51 account type.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/account_fields.h"
#include "common/record_texts.h"

namespace console {

// The columns, their order and how each is read: common/account_fields.h.
using common::kCsvFields;

// The export line of an account, without its "\r\n".
std::string AccountCsvLine(const common::AccountFile& account);

// Splits a file into lines at LF outside double quotes; a CR right before such an LF is
// dropped. The second byte of a Shift-JIS character is never taken for a quote or an LF.
// Text after the last LF is a line when it is not empty.
std::vector<std::string_view> SplitCsvLines(std::string_view text);
// The same one line at a time: the line that starts at `*pos`, which then moves past it;
// nothing when no line is left.
std::optional<std::string_view> NextCsvLine(std::string_view text, size_t* pos);

// Splits a line into its fields. A field that starts with a double quote runs to the next
// lone double quote ("" stands for one); text between that quote and the next "," is
// kept as it is. Inside quotes CRs are dropped and every LF becomes CR LF, the line end
// the console's multi-line texts use. Always at least one field.
std::vector<std::string> SplitCsvFields(std::string_view line);

// The first rejection reason of a line's fields, in the fixed order ("Server name is
// blank:", ...), or an empty text when the line can be imported.
std::string CsvRejection(const std::vector<std::string>& fields);

// The account that a line's fields describe: the key from the server name, numbers read as
// decimal (cast to the width the record keeps), the fixed ports and the local test file of
// `programDir` set. Missing fields read as empty or 0; texts too long for their fields are
// cut at a character boundary.
common::AccountFile AccountFromCsv(const std::vector<std::string>& fields,
                                   const std::string& programDir);

// A UTF-8 file marked by its byte-order mark (as spreadsheet programs save CSV) turned
// into CP932 without the mark; any other file as it is. False when the UTF-8 text holds
// characters CP932 cannot store.
bool CsvTextToCp932(std::string* text);

}  // namespace console
