#include "hostcheck/debug_log.h"

#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/clock.h"

namespace hostcheck {
namespace {

void WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

}  // namespace

void DebugLog::WriteHeader() {
  platform::SystemTime now = platform::LocalNow();
  const std::string stars(40, '*');
  char block[256];
  std::snprintf(block, sizeof block,
                "  DATE:\t%d/%d/%d\r\n  TIME:\t%d:%d:%d\r\n  PROCESS ID:\t%d\r\n"
                "  LOG LEVEL:\t%d\r\n",
                now.year, now.month, now.day, now.hour, now.minute, now.second,
                static_cast<int>(::getpid()), static_cast<int>(level_));
  WriteAll(fd_, stars + "\r\n" + block + stars + "\r\n");
  headerWritten_ = true;
}

void DebugLog::Write(std::string_view text, bool isError) {
  if (fd_ < 0 || level_ <= 0) return;
  if (level_ == 1 && !isError) return;
  if (!headerWritten_) WriteHeader();
  platform::SystemTime now = platform::LocalNow();
  char head[128];
  std::snprintf(head, sizeof head, "%d/%d/%d %d:%d:%d %d\t%s", now.year, now.month, now.day,
                now.hour, now.minute, now.second, static_cast<int>(::getpid()),
                isError ? "ERROR!!\t" : "");
  std::string line = head;
  line.append(text);
  line += "\r\n";
  if (isError && level_ == 1) line += "\r\n";
  WriteAll(fd_, line);
}

}  // namespace hostcheck
