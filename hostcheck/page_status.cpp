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
  StatusScanner(std::string text, const std::string& host, const std::string& path)
      : text_(std::move(text)), host_(host), path_(path) {}

  const std::string& text() const { return text_; }
  // The entries recorded, in order: the page error file's new content.
  const std::string& entries() const { return entries_; }

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
    entries_.append("\"").append(text_, start, std::min(end - start, kEntryTextLimit));
    entries_.append("\" Domain/IP: \"").append(host_).append("\" Page: \"").append(path_);
    entries_.append("\"");
  }

  std::string text_;
  std::string entries_;
  const std::string& host_;
  const std::string& path_;
};

}  // namespace

std::string PageErrorFilePath(const std::string& pageFile) {
  return pageFile + ".err";
}

namespace {

int32_t Evaluate(StatusScanner& scanner) {
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

}  // namespace

int32_t EvaluatePageStatus(const std::string& statusText, const std::string& pageFile,
                           const std::string& host, const std::string& path) {
  StatusScanner scanner(statusText.substr(0, kEvaluatedLength), host, path);
  const int32_t result = Evaluate(scanner);
  // The file ends as if deleted and appended to entry by entry, but is rewritten in place:
  // a page checked again and again then needs no file made or deleted in its folder.
  const std::string errorFile = PageErrorFilePath(pageFile);
  if (!scanner.entries().empty()) {
    platform::OverwriteFile(errorFile, scanner.entries());
  } else if (platform::PathExists(errorFile)) {
    platform::RemoveFile(errorFile);
  }
  return result;
}

}  // namespace hostcheck
