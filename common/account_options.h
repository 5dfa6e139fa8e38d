// The per-account options that the fixed account record has no room for: secure
// connections, ports and certificate checks. They live in a side file per account,
// "<program dir>/AccountOptions/<account key>.ini", section [ACCOUNT]:
//
//   key       values               default
//   SECURE    0, 1                 0        page: HTTPS; FTP transfer: FTPS; e-mail: TLS for
//                                           SMTP and POP3
//   TLSMODE   starttls, implicit   starttls SMTP, POP3, FTP: upgrade on the plain port or
//                                           TLS from the first byte
//   POPTLSMODE starttls, implicit  TLSMODE  e-mail: the POP3 side's own mode, for a relay
//                                           with STARTTLS beside a POP3S mailbox
//   PORT      1-65535              page 80 (443 secure); FTP 21 (990 secure implicit);
//                                  e-mail SMTP 25 (465 secure implicit)
//   POPPORT   1-65535              110 (995 secure with the POP3 side implicit)
//   VERIFY    0, 1                 1        check the chain against the system's trust store
//                                           (plus [PROGRAM] TLSCAFILE) and the host name
//   CERTDAYS  0-3650               14       a certificate ending within this many days fails
//                                           the check (0: no such check)
//   PARENT    a server name        ""       the account this one is behind: while the parent
//                                           is down, this account's alerts are held
//
// An account whose options are all at their defaults has no side file, so a suite that
// uses none of them has exactly the files it always had. Keys compare without regard to
// case; a missing file or key gives the default, a value out of range (or not a number)
// gives the default too and is named in the read's `problems` for the caller to log.
//
// A secure page is stored as an ordinary page (host and path in the record) with SECURE=1
// and, when it is not 443, its PORT here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace common {

inline constexpr const char* kAccountOptionsDir = "AccountOptions";
inline constexpr const char* kAccountOptionsSection = "ACCOUNT";

// The event log line code and tag with which a caller reports the read's problems.
inline constexpr long kAccountOptionsLogCode = 10014;
inline constexpr const char* kAccountOptionsLogTag = "[Account Options]";

enum class TlsMode : uint8_t { kStartTls, kImplicit };

struct AccountOptions {
  bool secure = false;
  TlsMode tlsMode = TlsMode::kStartTls;
  std::optional<TlsMode> popTlsMode;  // the POP3 side's own mode; none: tlsMode
  int32_t port = 0;                   // the page's, FTP server's or SMTP server's port
  int32_t popPort = 0;                // the POP3 server's port (e-mail accounts)
  bool verify = true;
  int32_t certDays = 14;
  std::string parent;  // server name of the parent account; "" for none
};

// The mode of an e-mail account's POP3 side: POPTLSMODE when set, else TLSMODE.
inline TlsMode PopTlsMode(const AccountOptions& options) {
  return options.popTlsMode.value_or(options.tlsMode);
}
// The longest PARENT value: a server name as the dialogs keep it.
inline constexpr size_t kMaxParentBytes = 64;

// "<dir>/AccountOptions/<key>.ini".
std::string AccountOptionsPath(const std::string& programDir, const std::string& key);

// The default PORT and POPPORT for an account type (common::AccountType) with the given
// security; 0 for a type without such a port (server accounts; POPPORT of non-mail types
// is still 110/995).
int32_t DefaultAccountPort(uint8_t accountType, bool secure, TlsMode mode);
int32_t DefaultPopPort(bool secure, TlsMode mode);

// Every option at its default for a plain account of the type.
AccountOptions DefaultAccountOptions(uint8_t accountType);

struct AccountOptionsRead {
  AccountOptions options;
  bool fileFound = false;             // the side file exists
  std::vector<std::string> problems;  // "PORT=99999 is out of range 1-65535, 443 used"
};

// The account's options: the defaults for its type, overridden by the side file's values.
// Never fails: an unreadable file reads as missing.
AccountOptionsRead ReadAccountOptions(const std::string& programDir, const std::string& key,
                                      uint8_t accountType);

// True when every option equals its default for the type (PORT and POPPORT compared with
// the defaults that SECURE, TLSMODE and POPTLSMODE give; a POPTLSMODE equal to TLSMODE is
// no option of its own).
bool AllDefault(const AccountOptions& options, uint8_t accountType);

// Stores the options: the keys that differ from their defaults are written at once
// (temporary file, then rename; the folder made when missing; a new file gets mode 0600, a
// file replaced keeps its mode as every atomic write does); options that are
// all defaults remove the side file instead. False when the file could not be written (or
// removed). Values outside their ranges are written as given: callers validate first.
bool WriteAccountOptions(const std::string& programDir, const std::string& key, uint8_t accountType,
                         const AccountOptions& options);

// Deletes the account's side file (the account is deleted). True when none is left.
bool RemoveAccountOptions(const std::string& programDir, const std::string& key);

// Moves the side file with the account (the account is renamed); a file under the new key
// is replaced, and removed when the account has none. True when it moved or none is left.
bool RenameAccountOptions(const std::string& programDir, const std::string& fromKey,
                          const std::string& toKey);

// [PROGRAM] TLSCAFILE of Varnock.ini: a PEM file of certificates trusted beside the
// system's store; "" when not set. A relative path is taken from the program directory.
std::string ReadTrustFileSetting(const std::string& programDir);

}  // namespace common
