#include "agents/framework/retry_file.h"

#include <unistd.h>

#include "platform/files.h"

namespace agents {

std::string RetryLine(const std::string& accountPath, const std::string& statusPath,
                      const std::string& key) {
  return accountPath + "," + statusPath + "," + key + "\r\n";
}

void AppendRetryLine(const std::string& retryPath, const std::string& accountPath,
                     const std::string& statusPath, const std::string& key) {
  platform::AppendToFile(retryPath, RetryLine(accountPath, statusPath, key));
}

std::vector<RetryEntry> ParseRetryLines(const std::string& content) {
  std::vector<RetryEntry> entries;
  size_t start = 0;
  for (;;) {
    size_t cr = content.find('\r', start);
    if (cr == std::string::npos) break;
    std::string line = content.substr(start, cr - start);
    start = cr + 1;
    if (start < content.size() && content[start] == '\n') ++start;
    size_t first = line.find(',');
    if (first == std::string::npos) continue;
    size_t second = line.find(',', first + 1);
    if (second == std::string::npos) continue;
    entries.push_back({line.substr(0, first), line.substr(first + 1, second - first - 1),
                       line.substr(second + 1)});
  }
  return entries;
}

std::vector<RetryEntry> TakeRetryFile(const std::string& retryPath) {
  std::string dir = platform::DirName(retryPath);
  std::string base = retryPath.substr(dir.empty() ? 0 : dir.size() + 1);
  std::string taken =
      platform::JoinPath(dir.empty() ? "." : dir, "." + base + "." + std::to_string(::getpid()));
  if (!platform::RenamePath(retryPath, taken)) return {};
  std::optional<std::string> content = platform::ReadWholeFile(taken);
  platform::RemoveFile(taken);
  if (!content) return {};
  return ParseRetryLines(*content);
}

}  // namespace agents
