#include "console/display_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/account_key.h"
#include "platform/clock.h"

namespace console {
namespace {

constexpr int kOpenTries = 32;
constexpr int kOpenPauseMs = 100;

std::string_view Cut(std::string_view line, size_t from, size_t count) {
  if (from >= line.size()) return {};
  return line.substr(from, count);
}

}  // namespace

PaneEntry ParsePaneLine(std::string_view line, bool keyNames) {
  PaneEntry e;
  e.date = Cut(line, 6, 10);
  e.time = Cut(line, 18, 7);
  std::string_view field = Cut(line, 27, 65);
  if (keyNames) {
    size_t blank = field.find(' ');
    if (blank != std::string_view::npos) field = field.substr(0, blank);
    e.name = common::DecodeKey(field);
  } else {
    size_t end = field.find_last_not_of(' ');
    e.name = field.substr(0, end == std::string_view::npos ? 0 : end + 1);
  }
  e.message = Cut(line, 93, 98);
  if (!line.empty() && line[0] == '-') {
    e.tone = PaneEntry::Tone::kFailure;
  } else if (line.substr(0, 3) == "100") {
    e.tone = PaneEntry::Tone::kEvent;
  }
  return e;
}

void DisplayLog::Clear() {
  path_.clear();
  text_.clear();
  starts_.clear();
  parsed_ = 0;
}

bool DisplayLog::Load(const std::string& path) {
  int fd = -1;
  for (int attempt = 0; attempt < kOpenTries; ++attempt) {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0 || errno == ENOENT) break;
    platform::SleepMs(kOpenPauseMs);
  }
  if (fd < 0) return false;
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    ::close(fd);
    return false;
  }
  const size_t length = static_cast<size_t>(st.st_size);
  if (path != path_ || length < text_.size()) {
    Clear();
    path_ = path;
  }
  // Only the bytes up to the length seen now; a racing append is picked up next time.
  size_t have = text_.size();
  text_.resize(length);
  while (have < length) {
    ssize_t n = ::pread(fd, text_.data() + have, length - have, static_cast<off_t>(have));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    have += static_cast<size_t>(n);
  }
  text_.resize(have);
  ::close(fd);
  // Split the complete lines of the new part; a line still being written waits.
  while (starts_.size() < kMaxPaneLines) {
    size_t lf = text_.find('\n', parsed_);
    if (lf == std::string::npos) break;
    starts_.push_back(static_cast<uint32_t>(parsed_));
    parsed_ = lf + 1;
  }
  return true;
}

std::string_view DisplayLog::Line(size_t index) const {
  if (index >= starts_.size()) return {};
  size_t begin = starts_[index];
  size_t end = text_.find('\n', begin);
  if (end == std::string::npos) end = text_.size();
  if (end > begin && text_[end - 1] == '\r') --end;
  return std::string_view(text_).substr(begin, end - begin);
}

std::optional<std::string_view> DisplayLog::PaneRow(size_t first, size_t r) const {
  size_t count = starts_.size();
  if (r + first >= count) return std::nullopt;
  return Line(count - r - first - 1);
}

}  // namespace console
