#include "message_file.h"

#include <vector>

#include "messenger.h"

namespace lanbell {

std::optional<LanMessage> ParseMessageFile(const std::string& content) {
  std::vector<std::string> lines;
  std::string current;
  size_t i = 0;
  while (i < content.size() && lines.size() < 3) {
    char c = content[i];
    if (c == '\r' || c == '\n') {
      lines.push_back(current);
      current.clear();
      i += (c == '\r') ? 2 : 1;
      continue;
    }
    current += c;
    ++i;
  }
  if (lines.size() < 2) return std::nullopt;
  if (lines.size() == 2) lines.push_back(current);
  // Each text ends at its first zero byte, as it would be read as a C string.
  for (std::string& line : lines)
    line.resize(line.find('\0') == std::string::npos ? line.size() : line.find('\0'));
  return LanMessage{lines[0], lines[1], lines[2]};
}

int32_t SendWithLocalRetry(const LanMessage& m) {
  int32_t status = MessengerSend("\\\\" + m.recipient, m.recipient, m.sender, m.message);
  if (status != 0) status = MessengerSend(std::nullopt, m.recipient, m.sender, m.message);
  return status;
}

}  // namespace lanbell
