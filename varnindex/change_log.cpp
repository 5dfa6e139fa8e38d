#include "varnindex/change_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <map>
#include <mutex>

#include "platform/clock.h"
#include "platform/files.h"
#include "varnindex/kept_fd.h"

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

// The log file last written in each log folder, kept open for the next entry.
struct KeptLog {
  std::string path;
  KeptFd fd;
};
std::map<std::string, KeptLog> gKept;
constexpr size_t kMaxKept = 64;

// A descriptor of the log file at `path` with its size; -1 when it cannot be opened. The
// kept one is opened again when the file was deleted (the console erasing a log).
int LogFile(const std::string& logDir, const std::string& path, int64_t* size) {
  if (gKept.size() >= kMaxKept && gKept.count(logDir) == 0) gKept.clear();
  KeptLog& kept = gKept[logDir];
  struct stat st {};
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (kept.path != path || kept.fd.get() < 0) {
      kept.path = path;
      kept.fd.Reset(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
      if (kept.fd.get() < 0 && errno == ENOENT && platform::MakeDirs(logDir)) {
        kept.fd.Reset(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
      }
      if (kept.fd.get() < 0) return -1;
    }
    if (::fstat(kept.fd.get(), &st) == 0 && st.st_nlink > 0) {
      *size = st.st_size;
      return kept.fd.get();
    }
    kept.fd.Reset();
  }
  return -1;
}

void WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

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
  std::lock_guard<std::mutex> guard(gMutex);
  for (int n = first; n <= kMaxLogFiles && next < keys.size(); ++n) {
    char name[32];
    std::snprintf(name, sizeof name, "%s%03d.txt", day, n);
    const std::string path = platform::JoinPath(logDir, name);
    int64_t size = 0;
    const int fd = LogFile(logDir, path, &size);
    if (fd < 0) return;
    chunk.clear();
    // Each entry goes to the first file still below the limit, as single changes do.
    while (next < keys.size() && size + static_cast<int64_t>(chunk.size()) < kLogFileLimit) {
      chunk += head;
      chunk += keys[next++];
      chunk += "\r\n";
    }
    if (chunk.empty()) continue;
    if (gFirstWithRoom.size() > 64) gFirstWithRoom.clear();
    gFirstWithRoom[memo] = n;
    WriteAll(fd, chunk);
  }
}

void LogChange(const std::string& dir, Change change, std::string_view key) {
  LogChanges(dir, change, {key});
}

}  // namespace varnindex
