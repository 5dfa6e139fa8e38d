// What an agent needs of an account's side file (common/account_options.h) to check it over
// a secure connection: the options with their problems logged, the extra trust file, the
// ports the file sets, and the log text of a secure connection's failure.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "common/account_options.h"

namespace agents {

// The account's options (defaults for its type where the file says nothing usable). Each
// problem of the file is one event line "[Account Options] <account name>: <problem>"
// (code 10014), and its default is used.
common::AccountOptionsRead ReadLoggedOptions(const std::string& programDir, const std::string& key,
                                             uint8_t accountType);

// True when the side file names a PORT (POPPORT) other than the default its SECURE and
// TLSMODE give: only then does it replace the port the caller would use otherwise.
bool SidePortSet(const common::AccountOptionsRead& read, uint8_t accountType);
bool SidePopPortSet(const common::AccountOptionsRead& read);

// [PROGRAM] TLSCAFILE, read once per process; a file named there that cannot be read is
// logged once (code 10014) and handed on all the same (it then adds nothing).
class TrustFileSetting {
 public:
  const std::string& Get(const std::string& programDir);

 private:
  std::once_flag read_;
  std::string caFile_;
};

// The log text of a failed check of `host` with result `code`: ErrorText's, and for a
// certificate that ends within the warning days (-924) its end date and days left, taken
// from the library's `detail` ("... expires on <yyyy-mm-dd hh:mm:ss> GMT (<n> days left)")
// in the form the page checks write; a detail in another form is put behind in brackets.
std::string SecureErrorText(int32_t code, const std::string& host, bool authTexts,
                            const std::string& detail);

}  // namespace agents
