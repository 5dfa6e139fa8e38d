// The LAN message file the agents write: recipient, sender name and message text, each
// line ended by CR LF.
#pragma once

#include <optional>
#include <string>

namespace lanbell {

struct LanMessage {
  std::string recipient;
  std::string sender;
  std::string message;
};

// Reads the first three lines: a CR ends a line and the byte after it is skipped whatever
// it is; a lone LF ends a line too. When the content ends after the second line end, the
// rest is the message. Fewer than two line ends: nothing to send.
std::optional<LanMessage> ParseMessageFile(const std::string& content);

// Sends through the recipient's computer first and, when that fails for any reason,
// through the local computer. The status of the last attempt.
int32_t SendWithLocalRetry(const LanMessage& message);

}  // namespace lanbell
