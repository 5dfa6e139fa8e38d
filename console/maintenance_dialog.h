// The page's "Maintenance" dialog: lists the maintenance windows (common/maintenance.h),
// adds one of a known account or of every account, and removes one. Answers carry their
// message in the console's language.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace console {

// {"ok": true, "windows": [...]}: per window its `line` (what removes it), `kind`, `all`,
// `account` (the server name, UTF-8), `day`, `from` and `to` (as the inputs take them:
// "YYYY-MM-DDThh:mm" of a one-off window, "hh:mm" of a weekly one), and `state`: "now"
// while the window is open at local time `now`, "ended" for a one-off that is over.
nlohmann::json MaintenanceWindows(const std::string& programDir, const std::string& language);

// `body`: {"all": bool, "account": server name, "kind": "once"|"weekly", "from", "to",
// "day"}. Refused with a message when the account is unknown, a time is missing or not
// one, the end of a one-off window is not after its start, a weekly window begins and
// ends at the same time, or the file is full or cannot be written.
nlohmann::json AddMaintenanceWindow(const std::string& programDir, const std::string& language,
                                    const nlohmann::json& body);

// `body`: {"line": a window's line}. The first window of that line goes.
nlohmann::json RemoveMaintenanceWindow(const std::string& programDir, const std::string& language,
                                       const nlohmann::json& body);

}  // namespace console
