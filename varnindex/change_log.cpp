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

void LogChanges(const std::string& dir, Change change, const std::vector<std::string_view>& keys) {
  if (keys.empty()) return;
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
  char time[48];
  std::snprintf(time, sizeof time, "TIME=%d:%d:%d\r\n", now.hour, now.minute, now.second);
  const std::string head = std::string(Marker(change)) + time + "Data=";
  size_t next = 0;
  std::string chunk;
  for (int n = first; n <= kMaxLogFiles && next < keys.size(); ++n) {
    char name[32];
    std::snprintf(name, sizeof name, "%s%03d.txt", day, n);
    const std::string path = platform::JoinPath(logDir, name);
    int64_t size = platform::FileSize(path);
    if (size < 0) size = 0;
    chunk.clear();
    // Each entry goes to the first file still below the limit, as single changes do.
    while (next < keys.size() && size + static_cast<int64_t>(chunk.size()) < kLogFileLimit) {
      chunk += head;
      chunk += keys[next++];
      chunk += "\r\n";
    }
    if (chunk.empty()) continue;
    {
      std::lock_guard<std::mutex> guard(gMutex);
      if (gFirstWithRoom.size() > 64) gFirstWithRoom.clear();
      gFirstWithRoom[memo] = n;
    }
    platform::AppendToFile(path, chunk);
  }
}

void LogChange(const std::string& dir, Change change, std::string_view key) {
  LogChanges(dir, change, {key});
}

}  // namespace varnindex
