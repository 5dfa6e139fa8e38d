// The error text of an account log line, chosen by the check's result code.
#pragma once

#include <cstdint>
#include <string>

namespace agents {

// " Domain/IP: <host>" for a code of 0 or more; for a negative code the network check
// library's text for it ("TIMEOUT Domain/IP: <host>" ...), "Unreachable Domain/IP: <host>"
// for a code it does not list. With `authTexts` the three sign-in failures -911, -912 and
// -17, and the secure connection failures -940 to -945, have texts of their own.
std::string ErrorText(int32_t code, const std::string& host, bool authTexts);

}  // namespace agents
