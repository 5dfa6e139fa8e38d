// Calendar differences between local times.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/clock.h"

namespace common {

// Seconds from the earlier to the later of two local times, as the true calendar
// difference (across midnight, month and year ends; leap years counted).
int64_t ElapsedSeconds(const platform::SystemTime& a, const platform::SystemTime& b);

// Parses a 14-digit time stamp "YYYYMMDDhhmmss"; nothing when it is not 14 digits.
std::optional<platform::SystemTime> ParseTimeStamp(std::string_view stamp);

// The current local time as a 14-digit time stamp.
std::string NowStamp();

}  // namespace common
