#include "hostcheck/page_check.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

#include "common/account_key.h"
#include "common/daily_log.h"
#include "common/file_ops.h"
#include "common/layout.h"
#include "hostcheck/ResultCodes.h"
#include "hostcheck/link_scan.h"
#include "hostcheck/net_util.h"
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

// `failureText`: a TLS failure's own text, used in place of the code's table text.
void WriteLogLines(const LinkCheckOutput& out, int32_t code, const std::string& message,
                   const std::string& detail, const std::string& checkedHost,
                   const std::string& failureText) {
  std::string errorText = !failureText.empty() ? failureText
                          : code < 0           ? FormatErrorText(code, checkedHost)
                                               : detail;
  std::string text = message + EscapeControlBytes(errorText);
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

void WriteOutOfTimeLine(const LinkCheckOutput& out, size_t notChecked, size_t links) {
  common::AppendDailyLogInFolder(out.logDir, kTimeout, platform::LocalNow(),
                                 common::DecodeKey(out.accountName), out.accountName,
                                 "HTTP Web LinkCheck Stopped: out of time, " +
                                     std::to_string(notChecked) + " of " + std::to_string(links) +
                                     " links in page were not checked");
}

void ReportOutcome(const LinkCheckOutput& out, int32_t code, const std::string& detail,
                   const std::string& checkedHost, const std::string& failureText) {
  if (IsFailedPage(code)) {
    if (out.logMode <= 0) return;
    WriteLogLines(out, code, out.failureMessage, detail, checkedHost, failureText);
    RecordFailure(out);
  } else if (out.logMode >= 2) {
    WriteLogLines(out, code, out.successMessage, detail, checkedHost, failureText);
  }
}

// Whether the page's own outcome gets reported: only then is its page error file taken.
bool Reported(const LinkCheckOutput& out, int32_t code) {
  return IsFailedPage(code) ? out.logMode > 0 : out.logMode >= 2;
}

// One link's fetch, done on whichever thread takes it; reported later in link order.
struct LinkOutcome {
  bool checked = false;
  int32_t code = 0;
  std::string detail;       // its page error entries
  std::string failureText;  // a TLS failure's log text
  int32_t words[5] = {};    // the progress words as its fetch left them
};

// Fetches the links side by side, each at most once, none started after `deadlineMs`.
// An exception on a helper thread (no memory) is passed on to the caller's thread.
class LinkFetcher {
 public:
  LinkFetcher(const std::vector<PageLink>& links, int32_t port, int32_t timeoutMs,
              int64_t deadlineMs, const std::string& tempDir, const TlsSettings* tls)
      : links_(links),
        tls_(tls),
        outcomes_(links.size()),
        port_(port),
        timeoutMs_(timeoutMs),
        deadlineMs_(deadlineMs),
        tempDir_(tempDir) {}

  std::vector<LinkOutcome>& Run() {
    std::vector<std::thread> helpers;
    const size_t wanted = std::min(kLinkFetchesAtOnce, links_.size());
    for (size_t i = 1; i < wanted; ++i) {
      try {
        helpers.emplace_back([this] { Work(); });
      } catch (const std::system_error&) {
        break;  // fewer threads: the links are still all taken, by those that run
      }
    }
    Work();
    for (std::thread& helper : helpers) helper.join();
    if (failure_) std::rethrow_exception(failure_);
    return outcomes_;
  }

 private:
  void Work() {
    try {
      for (size_t i = next_++; i < links_.size(); i = next_++) {
        if (stop_ || platform::MonotonicMs() >= deadlineMs_) return;
        Fetch(links_[i], outcomes_[i]);
      }
    } catch (...) {
      std::lock_guard<std::mutex> hold(failureLock_);
      if (!failure_) failure_ = std::current_exception();
      stop_ = true;
    }
  }

  void Fetch(const PageLink& link, LinkOutcome& outcome) {
    platform::MakeDirs(tempDir_);
    std::string linkFile = platform::MakeTempFile(tempDir_, "VNK");
    ProgressWords words(&outcome.words[0], &outcome.words[1], &outcome.words[2], &outcome.words[3],
                        &outcome.words[4]);
    // Only a secure page has links of its own port or scheme.
    const int32_t port = link.port > 0 ? link.port : port_;
    const TlsSettings* tls = link.secure ? tls_ : nullptr;
    outcome.code = CheckPage(link.host.c_str(), port, link.path.c_str(), linkFile.c_str(),
                             timeoutMs_, words, deadlineMs_, tls, &outcome.failureText);
    outcome.detail = TakePageErrors(linkFile);
    if (!linkFile.empty()) platform::RemoveFile(linkFile);
    outcome.checked = true;
  }

  const std::vector<PageLink>& links_;
  const TlsSettings* tls_;
  std::vector<LinkOutcome> outcomes_;
  const int32_t port_;
  const int32_t timeoutMs_;
  const int64_t deadlineMs_;
  const std::string tempDir_;
  std::atomic<size_t> next_{0};
  std::atomic<bool> stop_{false};
  std::mutex failureLock_;
  std::exception_ptr failure_;
};

}  // namespace

int32_t CheckPage(const char* host, int32_t port, const char* path, const char* pageFile,
                  int32_t timeoutMs, ProgressWords& words, int64_t deadlineMs,
                  const TlsSettings* tls, std::string* failureText) {
  if (failureText) failureText->clear();
  if (!host || !*host || !pageFile || !*pageFile) return -1;
  words.Set(1, 0, 0, 0, 0);
  std::string hostText = Limited(host, kMaxHostLength);
  std::string pathText = (path && *path) ? std::string(path) : std::string("/");
  if (HoldsControlByte(hostText) || HoldsControlByte(pathText)) {
    // Nothing is sent: the request would carry whatever the text injects.
    words.ClearLastThree();
    return kSendData;
  }
  // A secure page on a port of its own names it in the Host header, as HTTP asks.
  const std::string hostHeader =
      tls && port != 443 ? hostText + ":" + std::to_string(port) : hostText;
  std::string request = BuildGetRequest(pathText, hostHeader);
  DebugLog noLog(-1, 0);
  TransferResult transfer = RunTransfer(hostText, port, noLog, request, pageFile,
                                        EffectiveTimeout(timeoutMs), words, deadlineMs, tls);
  words.ClearLastThree();
  if (failureText) *failureText = transfer.failureText;
  if (transfer.code < 0) return transfer.code;
  return EvaluatePageStatus(transfer.statusText, pageFile, hostText, pathText);
}

int32_t CheckPageAndLinks(const char* host, int32_t port, const char* path, const char* pageFile,
                          int32_t timeoutMs, ProgressWords& words, const LinkCheckOutput& out,
                          const TlsSettings* tls, std::string* failureText) {
  // One deadline for the page and all its links: however many links a page lists and
  // however slowly their servers answer, the account's check ends by then.
  const int64_t deadline = platform::MonotonicMs() + OverallDeadlineMs(EffectiveTimeout(timeoutMs));
  std::string pageFailure;
  int32_t result =
      CheckPage(host, port, path, pageFile, timeoutMs, words, deadline, tls, &pageFailure);
  if (failureText) *failureText = pageFailure;
  std::string pageHost = Limited(host, kMaxHostLength);
  const std::string pageFileText = pageFile ? pageFile : "";
  if (Reported(out, result)) {
    ReportOutcome(out, result, TakePageErrors(pageFileText), pageHost, pageFailure);
  }
  if (IsFailedPage(result)) return result;

  std::optional<std::string> page = platform::ReadWholeFile(pageFile, kResponseCap);
  if (!page || page->empty()) return -1;

  result = 1;
  std::vector<PageLink> links = FindPageLinks(*page, pageHost, tls != nullptr);
  if (links.size() > kMaxLinksPerRun) {
    // A page of endless links would hold the run for ever: the rest waits for a run that
    // finds fewer, and the log says where this one stopped.
    links.resize(kMaxLinksPerRun);
    WriteLinkLimitLine(out, result);
  }
  LinkFetcher fetcher(links, port, timeoutMs, deadline, platform::JoinPath(out.logDir, "Temp"),
                      tls);
  std::vector<LinkOutcome>& outcomes = fetcher.Run();
  size_t notChecked = 0;
  const LinkOutcome* last = nullptr;
  for (size_t i = 0; i < links.size(); ++i) {
    const LinkOutcome& outcome = outcomes[i];
    if (!outcome.checked) {
      ++notChecked;
      continue;
    }
    last = &outcome;
    if (IsFailedPage(outcome.code)) result = outcome.code;
    ReportOutcome(out, outcome.code, outcome.detail, links[i].host, outcome.failureText);
  }
  // The words as fetching the links one after another would have left them.
  if (last) words.Set(last->words[0], last->words[1], 0, 0, 0);
  if (notChecked > 0) WriteOutOfTimeLine(out, notChecked, links.size());
  return result;
}

}  // namespace hostcheck
