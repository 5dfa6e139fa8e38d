// One line of a full daily log (Log/YYYYMMDD.log) read back as a check result for the
// history: which account, which check, at what minute, and how it went. Only the account
// lines of the agents are results; event lines and anything else give nothing.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/records.h"
#include "platform/clock.h"

namespace console::history {

// The checks the history keeps, in the order the page lists them.
enum class Check : uint8_t {
  kPing,
  kHttp,
  kFtp,
  kSmtp,
  kPop,
  kPage,
  kXfer,
  kMail,
  kCustom1,
  kCustom2,
  kCustom3,
  kCustom4,
  kCustom5,
};
constexpr size_t kCheckCount = 13;
const char* CheckName(Check check);
// The scan group whose log switches decide whether the check's lines are written.
common::ScanGroup GroupOf(Check check);
// "PING", "HTTP", ..., "CUSTOM1".."CUSTOM5" (exact upper case); nullopt for anything else.
std::optional<Check> CheckFromName(std::string_view name);

// Minutes on the console's local clock as the logs write it (a civil count: every day has
// 1440 minutes, so a clock change shifts nothing that is stored).
int64_t CivilMinute(int year, int month, int day, int hour, int minute);
// YYYYMMDDhhmm.
std::string FormatMinute(int64_t minute);
// The date, weekday and time of day of a minute.
platform::SystemTime CivilTime(int64_t minute);
// A 12-digit YYYYMMDDhhmm with a real date (years 1970-9999); nullopt otherwise.
std::optional<int64_t> ParseMinute(std::string_view text);

enum class Outcome : uint8_t {
  kSuccess,
  kFailure,
  kStep,  // a stage of a longer check that passed (FTP upload, download; mail sent): no
          // result of its own, its seconds count toward the check's time
};

struct LogResult {
  std::string name;  // the readable account name (the full log's name field, unpadded)
  Check check = Check::kPing;
  long customPort = 0;  // a custom port line: the port it names (the slot is the account's)
  int64_t minute = 0;
  long code = 0;  // the line's result code
  Outcome outcome = Outcome::kSuccess;
  int64_t ms = -1;               // the response time the line states, -1 when it states none
  std::string error;             // a failure's error text as logged
  bool oneRunPerMinute = false;  // a page with its links: every line of one minute is one check
};

// Parses a line without its line end. The code runs up to the first blank ("%05ld" is
// wider for codes of six or more digits), and the other columns are counted from there.
// Nothing for lines that are not an agent's check result, or that are cut or malformed.
std::optional<LogResult> ParseLogLine(std::string_view line);

}  // namespace console::history
