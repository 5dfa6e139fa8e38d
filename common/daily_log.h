// The daily logs: every line goes to "<dir>/Log/YYYYMMDD.log" with the readable name and to
// "<dir>/Log/Disp/YYYYMMDD.log" with the name's hex key, at the same time and with the
// same text.
#pragma once

#include <string>
#include <string_view>

#include "platform/clock.h"

namespace common {

// One log line: "%05ld %04d/%02d/%02d  %02d:%02d%s  %s %s\r\n" with the hour on a 12-hour
// clock (hours 12-23 print as 0-11 with "pm", 0-11 as they are with "am") and the name
// field cut or padded to exactly 65 characters.
std::string FormatLogLine(long code, const platform::SystemTime& time, std::string_view name,
                          std::string_view text);

std::string FullLogPath(const std::string& programDir, const platform::SystemTime& day);
std::string DisplayLogPath(const std::string& programDir, const platform::SystemTime& day);

// Appends the line to both daily logs; `plainName` goes to the full log, `keyName` to the
// display log. Each line is one write on an append-only descriptor, so lines of several
// processes never interleave. Opening is retried (32 times, 100 ms apart) when it fails.
// True when both lines were written.
bool AppendDailyLog(const std::string& programDir, long code, const platform::SystemTime& time,
                    std::string_view plainName, std::string_view keyName, std::string_view text);

// From now on this process keeps the daily log files it writes open from line to line
// (an agent, for its run), instead of opening them for every line. Each line is still one
// write on an append-only descriptor; a log deleted meanwhile is created afresh.
void KeepDailyLogsOpen();

// For events whose name is a readable title (console events, agent framework lines): the
// display log gets the title's hex key.
bool AppendEventLog(const std::string& programDir, long code, const platform::SystemTime& time,
                    std::string_view title, std::string_view text);

// The same pair of lines under a log folder given directly, display log first:
// "<logDir>/Disp/YYYYMMDD.log" with `keyName`, then "<logDir>/YYYYMMDD.log" with
// `plainName` (the page checker of the network check library is handed the log folder).
bool AppendDailyLogInFolder(const std::string& logDir, long code, const platform::SystemTime& time,
                            std::string_view plainName, std::string_view keyName,
                            std::string_view text);

}  // namespace common
