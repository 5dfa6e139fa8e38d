#include "hostcheck/page_status.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "platform/files.h"

namespace hostcheck {
namespace {

constexpr size_t kEvaluatedLength = 455;
constexpr size_t kNumberField = 20;
constexpr size_t kMaxSkippedSpaces = 19;
constexpr size_t kLineEndWithin = 300;
constexpr size_t kEntryTextLimit = 800;

class StatusScanner {
 public:
  StatusScanner(std::string text, const std::string& pageFile, const std::string& host,
                const std::string& path)
      : text_(std::move(text)), errorFile_(PageErrorFilePath(pageFile)), host_(host), path_(path) {}

  const std::string& text() const { return text_; }

  // Reads the number at `pos` (after up to 19 spaces); when a non-digit (or the text's end)
  // comes within the first 20 characters, records the text from the number to its line end.
  int32_t NumberAt(size_t pos) {
    size_t at = pos;
    while (at < text_.size() && at - pos < kMaxSkippedSpaces && text_[at] == ' ') ++at;
    size_t numberStart = at;
    int64_t value = 0;
    while (at < text_.size() && at - pos < kNumberField && text_[at] >= '0' && text_[at] <= '9') {
      if (value < INT32_MAX) value = value * 10 + (text_[at] - '0');
      ++at;
    }
    if (at - pos < kNumberField) RecordLine(numberStart);
    return static_cast<int32_t>(value > INT32_MAX ? INT32_MAX : value);
  }

 private:
  void RecordLine(size_t start) {
    size_t end = start;
    while (end < text_.size() && end - start < kLineEndWithin && text_[end] != '\r' &&
           text_[end] != '\n') {
      ++end;
    }
    if (end >= text_.size() || end - start >= kLineEndWithin) return;  // no line end in reach
    std::string entry;
    entry.reserve(end - start + host_.size() + path_.size() + 32);
    entry.append("\"").append(text_, start, std::min(end - start, kEntryTextLimit));
    entry.append("\" Domain/IP: \"").append(host_).append("\" Page: \"").append(path_);
    entry.append("\"");
    platform::AppendToFile(errorFile_, entry);
  }

  std::string text_;
  std::string errorFile_;
  const std::string& host_;
  const std::string& path_;
};

}  // namespace

std::string PageErrorFilePath(const std::string& pageFile) {
  return pageFile + ".err";
}

int32_t EvaluatePageStatus(const std::string& statusText, const std::string& pageFile,
                           const std::string& host, const std::string& path) {
  platform::RemoveFile(PageErrorFilePath(pageFile));
  StatusScanner scanner(statusText.substr(0, kEvaluatedLength), pageFile, host, path);
  const std::string& text = scanner.text();
  size_t space = text.find(' ');
  if (space != std::string::npos) {
    int32_t status = scanner.NumberAt(space + 1);
    if (status != 200) return status;
  }
  size_t error = text.find("Error");
  if (error != std::string::npos) return -scanner.NumberAt(error + 5);
  return space != std::string::npos ? 200 : 1;
}

}  // namespace hostcheck
