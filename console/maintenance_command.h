// "KTVarnock --maintenance ...": lists, adds and clears the maintenance windows
// (common/maintenance.h) from the command line.
#pragma once

#include <string>
#include <vector>

namespace console {

// `args` after "--maintenance":
//   list                                  prints one window per line
//   clear                                 removes every window
//   once <server name|*> <YYYYMMDDhhmm> <YYYYMMDDhhmm>
//   weekly <server name|*> <day 0-6> <hhmm> <hhmm>
// A server name that names no account, or a window that cannot be read, is refused with a
// message on `err`. Returns the exit code (0 done, 1 refused or not written, 2 usage).
int MaintenanceCommand(const std::string& programDir, const std::vector<std::string>& args,
                       std::string* out, std::string* err);

}  // namespace console
