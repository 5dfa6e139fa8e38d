#include "platform/clock.h"

#include <sys/time.h>

#include <cstdio>
#include <ctime>

namespace platform {

SystemTime LocalNow() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm local{};
  localtime_r(&ts.tv_sec, &local);
  SystemTime t{};
  t.year = static_cast<uint16_t>(local.tm_year + 1900);
  t.month = static_cast<uint16_t>(local.tm_mon + 1);
  t.dayOfWeek = static_cast<uint16_t>(local.tm_wday);
  t.day = static_cast<uint16_t>(local.tm_mday);
  t.hour = static_cast<uint16_t>(local.tm_hour);
  t.minute = static_cast<uint16_t>(local.tm_min);
  t.second = static_cast<uint16_t>(local.tm_sec);
  t.milliseconds = static_cast<uint16_t>(ts.tv_nsec / 1000000);
  return t;
}

int64_t MonotonicMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

uint32_t TickCount() {
  return static_cast<uint32_t>(MonotonicMs());
}

void SleepMs(int milliseconds) {
  if (milliseconds <= 0) return;
  timespec ts{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0) {
  }
}

void FormatTimeStamp(const SystemTime& t, char out[15]) {
  std::snprintf(out, 15, "%04d%02d%02d%02d%02d%02d", t.year % 10000, t.month % 100, t.day % 100,
                t.hour % 100, t.minute % 100, t.second % 100);
}

}  // namespace platform
