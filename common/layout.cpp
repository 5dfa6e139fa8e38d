#include "common/layout.h"

#include <strings.h>

#include "common/scan_groups.h"
#include "platform/lock.h"

namespace common {

std::string CanonicalFolderName(const std::string& anyCase) {
  for (const char* name : kStatusFolderNames) {
    if (strcasecmp(name, anyCase.c_str()) == 0) return name;
  }
  return "";
}

std::string StatusLockPath(const std::string& dir, StatusFolder f) {
  return platform::NamedLockPath(dir, std::string(FolderName(f)) + ".lock");
}

std::string EmailStatePath(const std::string& dir, long n) {
  return InDir(dir, FactsOf(Agent::kRoundTrip).stateFile + std::to_string(n));
}

}  // namespace common
