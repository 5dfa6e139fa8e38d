#include "agents/framework/error_text.h"

#include "hostcheck/ResultCodes.h"

namespace agents {
namespace {

struct AuthText {
  int32_t code;
  const char* text;
};

// Sign-in failures the agents raise themselves, and the secure connections' failures of the
// POP3 and FTP libraries.
constexpr AuthText kAuthTexts[] = {
    {-911, "SMTP_AUTHFAILED"}, {-912, "FTP_AUTHFAILED"}, {-17, "POP3_AUTHFAILED"},
    {-940, "TLS_HANDSHAKE"},   {-941, "CERT_UNTRUSTED"}, {-942, "CERT_EXPIRED"},
    {-943, "CERT_HOSTNAME"},   {-944, "CERT_EXPIRING"},  {-945, "TLS_REFUSED"}};

}  // namespace

std::string ErrorText(int32_t code, const std::string& host, bool authTexts) {
  if (code >= 0) return " Domain/IP: " + host;
  if (authTexts) {
    for (const AuthText& entry : kAuthTexts) {
      if (entry.code == code) return std::string(entry.text) + " Domain/IP: " + host;
    }
  }
  return hostcheck::FormatErrorText(code, host);
}

}  // namespace agents
