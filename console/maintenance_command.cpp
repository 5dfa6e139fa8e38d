#include "console/maintenance_command.h"

#include "common/account_key.h"
#include "common/layout.h"
#include "common/maintenance.h"
#include "platform/files.h"

namespace console {

int MaintenanceCommand(const std::string& dir, const std::vector<std::string>& args,
                       std::string* out, std::string* err) {
  if (args.empty()) return 2;
  std::vector<std::string> bad;
  std::vector<common::MaintenanceWindow> windows = common::ReadMaintenance(dir, &bad);
  if (args[0] == "list" && args.size() == 1) {
    for (const common::MaintenanceWindow& m : windows) {
      std::string who = m.key == "*" ? "*" : common::DecodeKey(m.key);
      *out += common::MaintenanceLine(m) + "  (" + who + ")\n";
    }
    for (const std::string& line : bad) *out += "# not a window: " + line + "\n";
    return 0;
  }
  if (args[0] == "clear" && args.size() == 1) {
    if (common::WriteMaintenance(dir, {})) return 0;
    *err = "cannot remove " + common::MaintenancePath(dir);
    return 1;
  }
  if ((args[0] != "once" || args.size() != 4) && (args[0] != "weekly" || args.size() != 5))
    return 2;
  std::string key = args[1];
  if (key != "*") {
    key = common::HexKey(args[1]);
    if (!platform::IsRegularFile(common::AccountPath(dir, key))) {
      *err = "no account is named " + args[1];
      return 1;
    }
  }
  std::string line = args[0] + " " + key;
  for (size_t i = 2; i < args.size(); ++i) line += " " + args[i];
  std::optional<common::MaintenanceWindow> window = common::ParseMaintenanceLine(line);
  if (!window) {
    *err = "not a window: " + line.substr(0, 200) +
           " (once NAME YYYYMMDDhhmm YYYYMMDDhhmm, the end after the start; weekly NAME DAY "
           "hhmm hhmm, day 0 Sunday to 6 Saturday)";
    return 1;
  }
  if (windows.size() >= common::kMaxMaintenanceWindows) {
    *err = "there are " + std::to_string(windows.size()) + " windows already";
    return 1;
  }
  windows.push_back(*window);
  if (!common::WriteMaintenance(dir, windows)) {
    *err = "cannot write " + common::MaintenancePath(dir);
    return 1;
  }
  return 0;
}

}  // namespace console
