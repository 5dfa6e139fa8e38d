// Timing and memory figures shared by the benchmarks: one clock, one way to time a call,
// one median and percentile rule, one reader of a process's memory lines. Every benchmark
// reports through these so their figures mean the same thing.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <vector>

namespace bench {

// Monotonic: intervals only, never a time of day.
using Clock = std::chrono::steady_clock;

// A duration in milliseconds and in microseconds.
double Ms(Clock::duration d);
double Micros(Clock::duration d);

// Milliseconds `f` took.
double TimeMs(const std::function<void()>& f);

// The value at `percent` of the sorted times: index size * percent / 100, at most the
// last one; 0 when there are none.
double Percentile(std::vector<double> times, int percent);

// The upper middle value (index size / 2 of the sorted times); 0 when there are none.
double Median(std::vector<double> times);

// The kB figure of a "/proc/<pid>/status" line starting with `key` (such as "VmRSS:" or
// "VmHWM:"); -1 when the process or the line is not there.
long StatusKb(pid_t pid, const char* key);

}  // namespace bench
