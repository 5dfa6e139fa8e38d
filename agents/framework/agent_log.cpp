#include "agents/framework/agent_log.h"

#include "common/account_key.h"
#include "common/daily_log.h"
#include "hostcheck/ResultCodes.h"

namespace agents {

void WriteAccountLine(const RunContext& run, long code, const std::string& storedName,
                      const std::string& message, const std::string& errorText,
                      bool countsAsFailure) {
  int g = run.profile.logGroup;
  if (run.scan.logOn[g] != 1) return;
  if (!countsAsFailure && run.scan.logAll[g] != 1) return;
  std::string key = storedName.substr(0, 64);
  // The error text may carry what a server sent (a status line, a reason text).
  common::AppendDailyLog(run.programDir, code, platform::LocalNow(), common::DecodeKey(key), key,
                         message + hostcheck::EscapeControlBytes(errorText));
}

void WriteFrameworkLine(const std::string& programDir, long code, const std::string& tag,
                        const std::string& detail) {
  common::AppendEventLog(programDir, code, platform::LocalNow(), tag, detail);
}

}  // namespace agents
