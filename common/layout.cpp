#include "common/layout.h"

#include <strings.h>

#include <cstdio>

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
  char name[40];
  std::snprintf(name, sizeof name, "emailPara.dat%ld", n);
  return InDir(dir, name);
}

}  // namespace common
