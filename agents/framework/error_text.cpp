#include "agents/framework/error_text.h"

#include "hostcheck/ResultCodes.h"

namespace agents {
namespace {

struct AuthText {
  int32_t code;
  const char* text;
};

// Sign-in failures the agents raise themselves. The secure connections' failures (-920 to
// -925, of every library) have their texts in the shared result-code table.
constexpr AuthText kAuthTexts[] = {
    {-911, "SMTP_AUTHFAILED"}, {-912, "FTP_AUTHFAILED"}, {-17, "POP3_AUTHFAILED"}};

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
