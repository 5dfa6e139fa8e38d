#include "hostcheck/page_check.h"

#include <cstring>

#include "common/account_key.h"
#include "common/daily_log.h"
#include "common/file_ops.h"
#include "common/layout.h"
#include "hostcheck/ResultCodes.h"
#include "hostcheck/link_scan.h"
#include "hostcheck/page_status.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/lock.h"

namespace hostcheck {
namespace {

constexpr size_t kDetailLimit = 999;
constexpr size_t kStatusRecordSize = 84;

std::string Limited(const char* text, size_t limit) {
  return text ? std::string(text, ::strnlen(text, limit)) : std::string();
}

// Reads and deletes the page error file: its entries become the detail of a log line.
std::string TakePageErrors(const std::string& pageFile) {
  if (pageFile.empty()) return "";
  std::string path = PageErrorFilePath(pageFile);
  std::string detail(kDetailLimit, '\0');
  long got = platform::ReadPrefix(path, detail.data(), detail.size());
  detail.resize(got > 0 ? static_cast<size_t>(got) : 0);
  platform::RemoveFile(path);
  return detail;
}

void WriteLogLines(const LinkCheckOutput& out, int32_t code, const std::string& message,
                   const std::string& detail, const std::string& checkedHost) {
  std::string text =
      message + EscapeControlBytes(code < 0 ? FormatErrorText(code, checkedHost) : detail);
  common::AppendDailyLogInFolder(out.logDir, code, platform::LocalNow(),
                                 common::DecodeKey(out.accountName), out.accountName, text);
}

// The status record lives in a status folder of the program directory; its changes hold
// that folder's lock, as every read-modify-write of a status record does.
platform::FileLock LockStatusFolder(const std::string& statusFile) {
  platform::FileLock lock;
  std::string folder = platform::DirName(statusFile);
  std::string folderName =
      folder.substr(folder.rfind('/') == std::string::npos ? 0 : folder.rfind('/') + 1);
  std::string canonical = common::CanonicalFolderName(folderName);
  for (size_t i = 0; i < common::kStatusFolderNames.size(); ++i) {
    if (canonical == common::kStatusFolderNames[i]) {
      lock.Acquire(
          common::StatusLockPath(platform::DirName(folder), static_cast<common::StatusFolder>(i)));
    }
  }
  return lock;
}

void RecordFailure(const LinkCheckOutput& out) {
  if (!out.stateFile.empty() && out.stateImage && out.stateLength >= 0) {
    common::WriteWholeFile(out.stateFile, out.stateImage, static_cast<size_t>(out.stateLength));
  }
  if (!out.statusFile.empty() && out.statusImage && out.statusLength >= 0) {
    platform::FileLock lock = LockStatusFolder(out.statusFile);
    // The record's first word (its enable flag) is the console's: keep it as stored.
    uint8_t record[kStatusRecordSize] = {};
    long got = platform::ReadPrefix(out.statusFile, record, sizeof record);
    if (got >= 4 && out.statusLength >= 4) std::memcpy(out.statusImage, record, 4);
    common::WriteWholeFile(out.statusFile, out.statusImage, static_cast<size_t>(out.statusLength));
  }
}

void WriteLinkLimitLine(const LinkCheckOutput& out, int32_t code) {
  common::AppendDailyLogInFolder(
      out.logDir, code, platform::LocalNow(), common::DecodeKey(out.accountName), out.accountName,
      "HTTP Web LinkCheck Stopped: only the first " + std::to_string(kMaxLinksPerRun) +
          " links in page were checked");
}

void ReportOutcome(const LinkCheckOutput& out, int32_t code, const std::string& pageFile,
                   const std::string& checkedHost) {
  if (IsFailedPage(code)) {
    if (out.logMode <= 0) return;
    WriteLogLines(out, code, out.failureMessage, TakePageErrors(pageFile), checkedHost);
    RecordFailure(out);
  } else if (out.logMode >= 2) {
    WriteLogLines(out, code, out.successMessage, TakePageErrors(pageFile), checkedHost);
  }
}

}  // namespace

int32_t CheckPage(const char* host, int32_t port, const char* path, const char* pageFile,
                  int32_t timeoutMs, ProgressWords& words) {
  if (!host || !*host || !pageFile || !*pageFile) return -1;
  words.Set(1, 0, 0, 0, 0);
  std::string hostText = Limited(host, kMaxHostLength);
  std::string pathText = (path && *path) ? std::string(path) : std::string("/");
  std::string request = BuildGetRequest(pathText, hostText);
  DebugLog noLog(-1, 0);
  TransferResult transfer = RunTransfer(hostText, port, noLog, request, pageFile,
                                        timeoutMs > 0 ? timeoutMs : 10000, words);
  words.ClearLastThree();
  if (transfer.code < 0) return transfer.code;
  return EvaluatePageStatus(transfer.statusText, pageFile, hostText, pathText);
}

int32_t CheckPageAndLinks(const char* host, int32_t port, const char* path, const char* pageFile,
                          int32_t timeoutMs, ProgressWords& words, const LinkCheckOutput& out) {
  int32_t result = CheckPage(host, port, path, pageFile, timeoutMs, words);
  std::string pageHost = Limited(host, kMaxHostLength);
  if (IsFailedPage(result)) {
    if (out.logMode > 0) ReportOutcome(out, result, pageFile ? pageFile : "", pageHost);
    return result;
  }
  ReportOutcome(out, result, pageFile, pageHost);

  std::optional<std::string> page = platform::ReadWholeFile(pageFile, kResponseCap);
  if (!page || page->empty()) return -1;

  result = 1;
  std::string tempDir = platform::JoinPath(out.logDir, "Temp");
  std::vector<PageLink> links = FindPageLinks(*page, pageHost);
  if (links.size() > kMaxLinksPerRun) {
    // A page of endless links would hold the run for ever: the rest waits for a run that
    // finds fewer, and the log says where this one stopped.
    links.resize(kMaxLinksPerRun);
    WriteLinkLimitLine(out, result);
  }
  for (const PageLink& link : links) {
    platform::MakeDirs(tempDir);
    std::string linkFile = platform::MakeTempFile(tempDir, "VNK");
    int32_t code =
        CheckPage(link.host.c_str(), port, link.path.c_str(), linkFile.c_str(), timeoutMs, words);
    if (IsFailedPage(code)) result = code;
    ReportOutcome(out, code, linkFile, link.host);
    if (!linkFile.empty()) {
      platform::RemoveFile(linkFile);
      platform::RemoveFile(PageErrorFilePath(linkFile));
    }
  }
  return result;
}

}  // namespace hostcheck
