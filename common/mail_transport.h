// How the alert mail reaches its two servers: for the primary and the alternate server a
// port and a security choice, kept in the [PROGRAM] section of Varnock.ini beside the
// other program settings (the server names and sign-in texts stay in Setting/Alert.dat and
// Alert2.dat):
//
//   MAILPORT, ALTMAILPORT          1-65535; 25, or 465 with TLS
//   MAILSECURITY, ALTMAILSECURITY  none | starttls | tls (default none)
//   MAILVERIFY                     0 | 1 (default 1): check certificate chain and host name
//   TLSCAFILE                      PEM certificates trusted besides the system's store
//
// A setup without these keys sends as before: port 25, no TLS.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace common {

enum class MailSecurity { kNone, kStartTls, kTls };

// "none", "starttls", "tls".
const char* MailSecurityName(MailSecurity security);
// The names above in any case; also "" and "0" for none, "1" for starttls, "2", "ssl" and
// "implicit" for tls. Nothing for anything else.
std::optional<MailSecurity> ParseMailSecurity(std::string_view text);
// 25, or 465 for TLS from the first byte.
uint16_t DefaultMailPort(MailSecurity security);

struct MailServerTransport {
  uint16_t port = 25;
  MailSecurity security = MailSecurity::kNone;
  // Set when a key holds a value that cannot be used (the text says which); such a server
  // is not used, rather than guessed at: a mistyped security choice must not send the
  // password in the clear.
  std::string problem;
};

struct AlertMailTransport {
  MailServerTransport primary;
  MailServerTransport alternate;
  bool verify = true;
  std::string caFile;
};

AlertMailTransport ReadAlertMailTransport(const std::string& programDir);

// Writes the keys. A key that is not in the file yet and would hold its default is left
// out, so a setup that keeps the defaults keeps its Varnock.ini as it was. The keys of a
// server with a problem are left as they are.
bool WriteAlertMailTransport(const std::string& programDir, const AlertMailTransport& transport);

}  // namespace common
