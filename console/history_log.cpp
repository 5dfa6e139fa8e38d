#include "console/history_log.h"

#include <cstdio>
#include <cstdlib>

namespace console::history {
namespace {

constexpr const char* kCheckNames[kCheckCount] = {
    "PING", "HTTP",    "FTP",     "SMTP",    "POP",     "PAGE",    "XFER",
    "MAIL", "CUSTOM1", "CUSTOM2", "CUSTOM3", "CUSTOM4", "CUSTOM5",
};

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int* year, int* month, int* day) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t d = doy - (153 * mp + 2) / 5 + 1;
  const int64_t m = mp + (mp < 10 ? 3 : -9);
  *year = static_cast<int>(yoe + era * 400 + (m <= 2));
  *month = static_cast<int>(m);
  *day = static_cast<int>(d);
}

bool LeapYear(int y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int DaysIn(int y, int m) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && LeapYear(y) ? 29 : kDays[m - 1];
}

bool Digits(std::string_view s, size_t from, size_t count, int* out) {
  if (from + count > s.size()) return false;
  int v = 0;
  for (size_t i = from; i < from + count; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + (s[i] - '0');
  }
  *out = v;
  return true;
}

bool StartsWith(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

// "... Passed Time: <n>sec" at the end of a message: n seconds in ms, else -1.
int64_t PassedMs(std::string_view message) {
  constexpr std::string_view kPassed = "Passed Time: ";
  size_t at = message.rfind(kPassed);
  if (at == std::string_view::npos) return -1;
  std::string_view rest = message.substr(at + kPassed.size());
  int64_t seconds = 0;
  size_t i = 0;
  for (; i < rest.size() && i < 9 && rest[i] >= '0' && rest[i] <= '9'; ++i) {
    seconds = seconds * 10 + (rest[i] - '0');
  }
  if (i == 0 || rest.substr(i, 3) != "sec") return -1;
  return seconds * 1000;
}

// The fixed messages of the agents: what each one says about which check.
struct MessageRule {
  std::string_view prefix;
  Check check;
  Outcome outcome;
  bool timedByCode = false;    // the code is the round trip in ms (ping)
  bool timedByPassed = false;  // "Passed Time: <n>sec" gives the time
  bool oneRunPerMinute = false;
};

constexpr MessageRule kRules[] = {
    {"Ping OK time=", Check::kPing, Outcome::kSuccess, true},
    {"Ping DOWN ", Check::kPing, Outcome::kFailure},
    {"HTTP Port 80 OK", Check::kHttp, Outcome::kSuccess},
    {"HTTP Port 80 DOWN Error: ", Check::kHttp, Outcome::kFailure},
    {"FTP Port 21 OK", Check::kFtp, Outcome::kSuccess},
    {"FTP Port 21 DOWN Error: ", Check::kFtp, Outcome::kFailure},
    {"SMTP Port 25 OK", Check::kSmtp, Outcome::kSuccess},
    {"SMTP Port 25 DOWN Error: ", Check::kSmtp, Outcome::kFailure},
    {"POP3 Port 110 OK", Check::kPop, Outcome::kSuccess},
    {"POP3 Port 110 DOWN Error: ", Check::kPop, Outcome::kFailure},
    {"HTTP Web OK", Check::kPage, Outcome::kSuccess},
    {"HTTP Web Failed Error: ", Check::kPage, Outcome::kFailure},
    {"HTTP Web Link OK ", Check::kPage, Outcome::kSuccess, false, false, true},
    {"HTTP Web LinkFailed Error: ", Check::kPage, Outcome::kFailure, false, false, true},
    {"FTP Upload OK", Check::kXfer, Outcome::kStep, false, true},
    {"FTP Download OK", Check::kXfer, Outcome::kStep, false, true},
    {"FTP Delete OK", Check::kXfer, Outcome::kSuccess, false, true},
    {"FTP Upload Failed Error: ", Check::kXfer, Outcome::kFailure},
    {"FTP Download Failed Error: ", Check::kXfer, Outcome::kFailure},
    {"FTP Delete Failed Error: ", Check::kXfer, Outcome::kFailure},
    {"FTP Login Failed Error: ", Check::kXfer, Outcome::kFailure},
    {"Mail Send OK", Check::kMail, Outcome::kStep},
    {"Mail Receive OK", Check::kMail, Outcome::kSuccess, false, true},
    {"Mail Send Failed Error: ", Check::kMail, Outcome::kFailure},
    {"SMTP Auth Failed Error: ", Check::kMail, Outcome::kFailure},
    {"Mail Receive Failed Error: ", Check::kMail, Outcome::kFailure},
    {"POP Auth Failed Error: ", Check::kMail, Outcome::kFailure},
};

// "CUSTOM Port <n> OK" / "CUSTOM Port <n> DOWN Error: ".
bool ParseCustom(std::string_view message, LogResult* r) {
  constexpr std::string_view kHead = "CUSTOM Port ";
  if (!StartsWith(message, kHead)) return false;
  std::string_view rest = message.substr(kHead.size());
  long port = 0;
  size_t i = 0;
  for (; i < rest.size() && i < 10 && rest[i] >= '0' && rest[i] <= '9'; ++i) {
    port = port * 10 + (rest[i] - '0');
  }
  if (i == 0) return false;
  rest = rest.substr(i);
  r->check = Check::kCustom1;
  r->customPort = port;
  if (rest == " OK" || StartsWith(rest, " OK ")) {
    r->outcome = Outcome::kSuccess;
    return true;
  }
  constexpr std::string_view kDown = " DOWN Error: ";
  if (!StartsWith(rest, kDown)) return false;
  r->outcome = Outcome::kFailure;
  r->error = std::string(rest.substr(kDown.size()));
  return true;
}

}  // namespace

common::ScanGroup GroupOf(Check check) {
  switch (check) {
    case Check::kPing:
      return common::kGroupPing;
    case Check::kPage:
      return common::kGroupHttp;
    case Check::kMail:
      return common::kGroupEmail;
    case Check::kXfer:
      return common::kGroupFtp;
    default:
      return common::kGroupPort;
  }
}

const char* CheckName(Check check) {
  size_t i = static_cast<size_t>(check);
  return i < kCheckCount ? kCheckNames[i] : "";
}

std::optional<Check> CheckFromName(std::string_view name) {
  for (size_t i = 0; i < kCheckCount; ++i) {
    if (name == kCheckNames[i]) return static_cast<Check>(i);
  }
  return std::nullopt;
}

int64_t CivilMinute(int year, int month, int day, int hour, int minute) {
  return DaysFromCivil(year, month, day) * 1440 + hour * 60 + minute;
}

std::string FormatMinute(int64_t minute) {
  int64_t days = minute >= 0 ? minute / 1440 : (minute - 1439) / 1440;
  int64_t rest = minute - days * 1440;
  int y = 0, m = 0, d = 0;
  CivilFromDays(days, &y, &m, &d);
  char text[32];
  std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d", y, m, d, static_cast<int>(rest / 60),
                static_cast<int>(rest % 60));
  return text;
}

platform::SystemTime CivilTime(int64_t minute) {
  const int64_t days = minute >= 0 ? minute / 1440 : (minute - 1439) / 1440;
  const int64_t rest = minute - days * 1440;
  int y = 0, m = 0, d = 0;
  CivilFromDays(days, &y, &m, &d);
  platform::SystemTime t{};
  t.year = static_cast<uint16_t>(y);
  t.month = static_cast<uint16_t>(m);
  t.day = static_cast<uint16_t>(d);
  t.dayOfWeek = static_cast<uint16_t>(((days % 7) + 11) % 7);  // day 0 was a Thursday
  t.hour = static_cast<uint16_t>(rest / 60);
  t.minute = static_cast<uint16_t>(rest % 60);
  return t;
}

std::optional<int64_t> ParseMinute(std::string_view text) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0;
  if (text.size() != 12 || !Digits(text, 0, 4, &y) || !Digits(text, 4, 2, &mo) ||
      !Digits(text, 6, 2, &d) || !Digits(text, 8, 2, &h) || !Digits(text, 10, 2, &mi)) {
    return std::nullopt;
  }
  if (y < 1970 || mo < 1 || mo > 12 || d < 1 || d > DaysIn(y, mo) || h > 23 || mi > 59) {
    return std::nullopt;
  }
  return CivilMinute(y, mo, d, h, mi);
}

std::optional<LogResult> ParseLogLine(std::string_view line) {
  // The code: an optional minus and digits, at least five characters, then a blank.
  const size_t blank = line.find(' ');
  if (blank == std::string_view::npos || blank < 5 || blank > 11) return std::nullopt;
  size_t first = line[0] == '-' ? 1 : 0;
  if (first == blank) return std::nullopt;
  long code = 0;
  for (size_t i = first; i < blank; ++i) {
    if (line[i] < '0' || line[i] > '9') return std::nullopt;
    code = code * 10 + (line[i] - '0');
  }
  if (first == 1) code = -code;
  // Every other column moves with the width of the code.
  const size_t shift = blank - 5;
  std::string_view rest = line.substr(shift);
  if (rest.size() < 93 || rest[10] != '/' || rest[13] != '/' || rest.substr(16, 2) != "  " ||
      rest[20] != ':' || rest.substr(25, 2) != "  " || rest[92] != ' ') {
    return std::nullopt;
  }
  int y = 0, mo = 0, d = 0, h = 0, mi = 0;
  if (!Digits(rest, 6, 4, &y) || !Digits(rest, 11, 2, &mo) || !Digits(rest, 14, 2, &d) ||
      !Digits(rest, 18, 2, &h) || !Digits(rest, 21, 2, &mi)) {
    return std::nullopt;
  }
  const std::string_view half = rest.substr(23, 2);
  if ((half != "am" && half != "pm") || h > 11 || mi > 59 || y < 1970 || mo < 1 || mo > 12 ||
      d < 1 || d > DaysIn(y, mo)) {
    return std::nullopt;
  }
  if (half == "pm") h += 12;

  LogResult r;
  std::string_view field = rest.substr(27, 65);
  const size_t end = field.find_last_not_of(' ');
  if (end == std::string_view::npos) return std::nullopt;
  r.name = std::string(field.substr(0, end + 1));
  r.minute = CivilMinute(y, mo, d, h, mi);
  r.code = code;
  const std::string_view message = rest.substr(93);

  bool known = false;
  for (const MessageRule& rule : kRules) {
    if (!StartsWith(message, rule.prefix)) continue;
    r.check = rule.check;
    r.outcome = rule.outcome;
    r.oneRunPerMinute = rule.oneRunPerMinute;
    if (rule.timedByCode && code >= 0) r.ms = code;
    if (rule.timedByPassed) r.ms = PassedMs(message);
    if (rule.outcome == Outcome::kFailure)
      r.error = std::string(message.substr(rule.prefix.size()));
    known = true;
    break;
  }
  if (!known && !ParseCustom(message, &r)) return std::nullopt;
  if (r.outcome == Outcome::kFailure) {
    // The text a failure shows: what follows the fixed message, or the message itself when
    // nothing follows (a bare "Ping DOWN ").
    size_t lead = r.error.find_first_not_of(' ');
    r.error = lead == std::string::npos ? std::string(message) : r.error.substr(lead);
    size_t tail = r.error.find_last_not_of(' ');
    r.error.resize(tail == std::string::npos ? 0 : tail + 1);
  }
  return r;
}

}  // namespace console::history
