// Reading what the agents write: the lines of a daily log, one log line's fields, and the
// 32-bit words of a state file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace testkit {

// The lines of a log file, each ended by CR LF (a last line without one is not whole).
std::vector<std::string> LogLines(const std::string& log);

// The account lines of a log: all but the framework's own (codes 1000x and 1001x).
std::vector<std::string> AccountLines(const std::string& log);

// Expects a log line "CCCCC YYYY/MM/DD  hh:mmxm  " + the 65-character name field + " " +
// `text`, with `code` and `name` (cut or padded to 65). In `text`, "#" stands for a number
// of seconds (one or two digits: runs on loopback take seconds, not minutes).
void ExpectLogLine(const std::string& line, const std::string& code, const std::string& name,
                   const std::string& text);

// The little-endian 32-bit word at `offset` of a file image (0 past its end).
uint32_t WordAt(const std::string& image, size_t offset);

}  // namespace testkit
