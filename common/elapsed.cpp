#include "common/elapsed.h"

#include <string>

namespace common {
namespace {

// Days from 1970-01-01 to a civil date (proleptic Gregorian calendar).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

int64_t SecondsOf(const platform::SystemTime& t) {
  return DaysFromCivil(t.year, t.month, t.day) * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
}

}  // namespace

int64_t ElapsedSeconds(const platform::SystemTime& a, const platform::SystemTime& b) {
  int64_t diff = SecondsOf(a) - SecondsOf(b);
  return diff < 0 ? -diff : diff;
}

std::optional<platform::SystemTime> ParseTimeStamp(std::string_view stamp) {
  if (stamp.size() < 14) return std::nullopt;
  for (size_t i = 0; i < 14; ++i) {
    if (stamp[i] < '0' || stamp[i] > '9') return std::nullopt;
  }
  auto num = [&](size_t at, size_t len) {
    int v = 0;
    for (size_t i = at; i < at + len; ++i) v = v * 10 + (stamp[i] - '0');
    return static_cast<uint16_t>(v);
  };
  platform::SystemTime t{};
  t.year = num(0, 4);
  t.month = num(4, 2);
  t.day = num(6, 2);
  t.hour = num(8, 2);
  t.minute = num(10, 2);
  t.second = num(12, 2);
  if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > 31) return std::nullopt;
  return t;
}

std::string NowStamp() {
  char stamp[15];
  platform::FormatTimeStamp(platform::LocalNow(), stamp);
  return stamp;
}

}  // namespace common
