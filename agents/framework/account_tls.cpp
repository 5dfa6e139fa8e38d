#include "agents/framework/account_tls.h"

#include <unistd.h>

#include <cctype>
#include <cstdlib>

#include "agents/framework/agent_log.h"
#include "agents/framework/error_text.h"
#include "common/account_key.h"
#include "hostcheck/ResultCodes.h"

namespace agents {

common::AccountOptionsRead ReadLoggedOptions(const std::string& programDir, const std::string& key,
                                             uint8_t accountType) {
  common::AccountOptionsRead read = common::ReadAccountOptions(programDir, key, accountType);
  for (const std::string& problem : read.problems) {
    WriteFrameworkLine(programDir, common::kAccountOptionsLogCode, common::kAccountOptionsLogTag,
                       common::DecodeKey(key) + ": " + problem);
  }
  return read;
}

bool SidePortSet(const common::AccountOptionsRead& read, uint8_t accountType) {
  const common::AccountOptions& o = read.options;
  return read.fileFound && o.port != common::DefaultAccountPort(accountType, o.secure, o.tlsMode);
}

bool SidePopPortSet(const common::AccountOptionsRead& read) {
  const common::AccountOptions& o = read.options;
  return read.fileFound && o.popPort != common::DefaultPopPort(o.secure, common::PopTlsMode(o));
}

const std::string& TrustFileSetting::Get(const std::string& programDir) {
  std::call_once(read_, [&] {
    caFile_ = common::ReadTrustFileSetting(programDir);
    if (!caFile_.empty() && ::access(caFile_.c_str(), R_OK) != 0) {
      WriteFrameworkLine(programDir, common::kAccountOptionsLogCode, common::kAccountOptionsLogTag,
                         "TLSCAFILE=" + caFile_ + " cannot be read");
    }
  });
  return caFile_;
}

std::string SecureErrorText(int32_t code, const std::string& host, bool authTexts,
                            const std::string& detail) {
  if (code != hostcheck::kTlsExpiresSoon || detail.empty()) {
    return ErrorText(code, host, authTexts);
  }
  // "... expires on YYYY-MM-DD hh:mm:ss GMT (N days left)".
  const size_t on = detail.find("expires on ");
  const size_t open = detail.rfind('(');
  if (on != std::string::npos && open != std::string::npos && open > on) {
    const std::string date = detail.substr(on + 11, 10);
    const bool dateOk = date.size() == 10 && date[4] == '-' && date[7] == '-';
    char* end = nullptr;
    const long long days = std::strtoll(detail.c_str() + open + 1, &end, 10);
    if (dateOk && end != detail.c_str() + open + 1 && std::string(end).rfind(" day", 0) == 0) {
      return hostcheck::CertificateEndText(code, host, date, days);
    }
  }
  return ErrorText(code, host, authTexts) + " (" + hostcheck::EscapeControlBytes(detail) + ")";
}

}  // namespace agents
