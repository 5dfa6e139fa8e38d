// The messenger service on this system: a message goes to every terminal of a user logged
// in on this machine whose name is the recipient, as write(1) delivers it. A server name
// other than this machine's is a computer that cannot be reached.
//
// The login records are read from the system's utmp file, or from the file named by the
// environment variable VARN_UTMP when it is set.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace lanbell {

constexpr int32_t kAccessDenied = 5;
constexpr int32_t kBadNetPath = 53;
constexpr int32_t kInvalidParameter = 87;
constexpr int32_t kNameNotFound = 2273;

// `serverName` is "\\<computer>", or nothing for the local computer. Returns 0 when the
// message reached at least one terminal, else one of the codes above.
int32_t MessengerSend(const std::optional<std::string>& serverName, const std::string& recipient,
                      const std::string& sender, const std::string& message);

// What a terminal shows: a head naming the sender and the recipient, then the text, with
// control bytes written as ^X so that no text can steer the terminal.
std::string TerminalText(const std::string& recipient, const std::string& sender,
                         const std::string& message);

}  // namespace lanbell
