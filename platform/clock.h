// Local time, the eight-u16 time layout stored in records, and the tick count.
#pragma once

#include <cstdint>

namespace platform {

// The stored time layout: year, month, day of week (0 = Sunday), day, hour (0-23),
// minute, second, milliseconds, each a little-endian u16.
struct SystemTime {
  uint16_t year;
  uint16_t month;
  uint16_t dayOfWeek;
  uint16_t day;
  uint16_t hour;
  uint16_t minute;
  uint16_t second;
  uint16_t milliseconds;
};
static_assert(sizeof(SystemTime) == 16);

// The current local time.
SystemTime LocalNow();

// Milliseconds from a monotonic clock, truncated to 32 bits (wraps after 49.7 days).
uint32_t TickCount();

// Milliseconds from a monotonic clock, not truncated: for intervals and deadlines.
int64_t MonotonicMs();

void SleepMs(int milliseconds);

// "YYYYMMDDhhmmss" of a time (14 digits).
void FormatTimeStamp(const SystemTime& t, char out[15]);

}  // namespace platform
