// How alerts are grouped and quieted, kept in the [PROGRAM] section of Varnock.ini. Each
// feature is off while its count key is missing or 0, so a suite that uses none of them
// has the keys it always had:
//
//   ALERTGROUPCOUNT    1-10000  more than this many alerts due within ALERTGROUPSECONDS
//   ALERTGROUPSECONDS  1-3600   go out as one digest (default 60)
//   FLAPCHANGES        1-1000   more than this many state changes of one check within
//   FLAPMINUTES        1-1440   FLAPMINUTES mark it flapping (default 30)
//
// A value out of its range reads as the feature off (counts) or its default (windows).
#pragma once

#include <string>

namespace common {

struct AlertGrouping {
  int groupCount = 0;  // 0: no digest
  int groupSeconds = 60;
  int flapChanges = 0;  // 0: no flapping watch
  int flapMinutes = 30;
};

inline constexpr int kMaxGroupCount = 10000;
inline constexpr int kMaxGroupSeconds = 3600;
inline constexpr int kMaxFlapChanges = 1000;
inline constexpr int kMaxFlapMinutes = 1440;

AlertGrouping ReadAlertGrouping(const std::string& programDir);

// Writes the four keys; a key already missing stays missing while its value is the
// default. False when Varnock.ini could not be written.
bool WriteAlertGrouping(const std::string& programDir, const AlertGrouping& grouping);

}  // namespace common
