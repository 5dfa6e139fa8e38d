#include "bench/bench_timing.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace bench {

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

double Micros(Clock::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}

double TimeMs(const std::function<void()>& f) {
  const auto start = Clock::now();
  f();
  return Ms(Clock::now() - start);
}

double Percentile(std::vector<double> times, int percent) {
  if (times.empty()) return 0;
  std::sort(times.begin(), times.end());
  const size_t at = times.size() * static_cast<size_t>(percent) / 100;
  return times[std::min(times.size() - 1, at)];
}

double Median(std::vector<double> times) {
  return Percentile(std::move(times), 50);
}

long StatusKb(pid_t pid, const char* key) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + std::strlen(key));
  }
  return -1;
}

}  // namespace bench
