#include "varnindex/change_log.h"

#include <cstdio>
#include <map>
#include <mutex>

#include "platform/clock.h"
#include "platform/files.h"

namespace varnindex {
namespace {

constexpr int64_t kLogFileLimit = 500000;
constexpr int kMaxLogFiles = 1000;  // 001 .. 1000 (the last one has four digits)

const char* Marker(Change change) {
  switch (change) {
    case Change::kAdd:
      return "\r\n[ADD]\r\n";
    case Change::kErrorAdd:
      return "\r\n[ERROR_ADD]\r\n";
    case Change::kDel:
      return "\r\n[DEL]\r\n";
    case Change::kErrorDel:
      return "\r\n[ERROR_DEL]\r\n";
  }
  return "";
}

// Today's files before the one last used are full (files only grow): start there.
std::mutex gMutex;
std::map<std::string, int> gFirstWithRoom;

}  // namespace

void LogChange(const std::string& dir, Change change, std::string_view key) {
  const platform::SystemTime now = platform::LocalNow();
  const std::string logDir = platform::JoinPath(dir, "log");
  char day[16];
  std::snprintf(day, sizeof day, "%04d%02d%02d", now.year, now.month, now.day);
  const std::string memo = logDir + "/" + day;
  int first = 1;
  {
    std::lock_guard<std::mutex> guard(gMutex);
    auto it = gFirstWithRoom.find(memo);
    if (it != gFirstWithRoom.end()) first = it->second;
  }
  for (int n = first; n <= kMaxLogFiles; ++n) {
    char name[32];
    std::snprintf(name, sizeof name, "%s%03d.txt", day, n);
    const std::string path = platform::JoinPath(logDir, name);
    if (platform::FileSize(path) >= kLogFileLimit) continue;
    {
      std::lock_guard<std::mutex> guard(gMutex);
      if (gFirstWithRoom.size() > 64) gFirstWithRoom.clear();
      gFirstWithRoom[memo] = n;
    }
    char time[48];
    std::snprintf(time, sizeof time, "TIME=%d:%d:%d\r\n", now.hour, now.minute, now.second);
    std::string entry = Marker(change);
    entry += time;
    entry += "Data=";
    entry += key;
    entry += "\r\n";
    platform::AppendToFile(path, entry);
    return;
  }
}

}  // namespace varnindex
