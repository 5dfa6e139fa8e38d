// PageSentry: fetches one web page of each account and, when the account asks for it,
// checks every link of that page.
#include <unistd.h>

#include <cstring>
#include <mutex>

#include "HostCheck.h"
#include "agents/framework/account_frame.h"
#include "agents/framework/agent_log.h"
#include "agents/framework/agent_profiles.h"
#include "agents/framework/agent_run.h"
#include "agents/framework/error_text.h"
#include "agents/framework/probe_checks.h"
#include "common/account_key.h"
#include "common/account_options.h"
#include "common/file_ops.h"
#include "common/layout.h"
#include "common/status_update.h"
#include "hostcheck/ResultCodes.h"
#include "page_address.h"
#include "page_files.h"
#include "platform/files.h"

namespace {

constexpr const char* kOkMessage = "HTTP Web OK";
constexpr const char* kFailedMessage = "HTTP Web Failed Error: ";
constexpr const char* kLinkFailedMessage = "HTTP Web LinkFailed Error: ";
constexpr const char* kLinkOkMessage = "HTTP Web Link OK ";
constexpr const char* kLinksFailedText = "some url links in page were failed (refer log file)";

bool PageFailed(int32_t result) {
  return result < 0 || result == 404 || result == 405;
}

// The log text a secure fetch leaves for its TLS failures.
constexpr size_t kTlsTextSize = 512;

// What a secure page's fetch needs beside the plain one's.
struct SecureFetch {
  int32_t verify = 1;
  int32_t certDays = 14;
  const char* caFile = "";
  char errorText[kTlsTextSize] = "";
};

// The state fields the page check updates as it goes. One after another it updates the
// run's fields themselves; side by side each check gets fields of its own, and only its
// progress fields 1 to 3 are taken over at the end (the busy flag stays the run's).
class ProgressFields {
 public:
  explicit ProgressFields(agents::RunContext& run) : run_(run), own_(run.parallel > 1) {
    for (size_t i = 0; i < 4; ++i) fields_[i] = static_cast<int32_t>(run.state.Field(i));
  }
  int32_t* At(size_t i) { return own_ ? &fields_[i] : run_.state.FieldAddress(i); }
  void Keep() {
    if (!own_) return;
    for (size_t i = 1; i < 4; ++i) run_.state.SetField(i, static_cast<uint32_t>(fields_[i]));
  }
  // The state file the link check writes itself; side by side only the frame writes it.
  std::string StateFile() const { return own_ ? "" : run_.state.path(); }

 private:
  agents::RunContext& run_;
  bool own_;
  int32_t fields_[4];
};

class PageCheck : public agents::BlockingCheck {
 public:
  bool Enabled(const common::AccountRecord&) const override { return true; }
  void AfterStatusRead(agents::RunContext& run) override { run.state.WriteBusy(1); }
  void AfterEnableTests(agents::RunContext& run) override { run.state.WriteBusy(1); }

  agents::CheckResult Check(agents::RunContext& run, agents::AccountJob& job) override {
    common::AccountRecord& record = job.account.record;
    if (record.pagePath[0] == '\0') common::SetField(record.pagePath, "/");
    const std::string tempDir = common::InDir(run.programDir, common::kTemp);
    const std::string pageFile = spares_.Take(tempDir);
    const int32_t timeoutMs = static_cast<int32_t>(static_cast<int16_t>(record.httpTimeout)) * 1000;
    common::AccountOptions options;
    const pagesentry::PageTarget target = TargetOf(run, job, &options);
    const int32_t port = target.port;
    const std::string& path = target.path;
    const std::string& host = target.host;
    SecureFetch secure;
    if (target.secure) {
      secure.verify = options.verify ? 1 : 0;
      secure.certDays = options.certDays;
      secure.caFile = TrustFile(run).c_str();
    }
    SecureFetch* tls = target.secure ? &secure : nullptr;

    if (record.checkLinks != 0) {
      int32_t result = CheckAllLinks(run, job, host, path, pageFile, port, timeoutMs, tls);
      return Finish(run, job, host, result, pageFile, false, tls);
    }
    ProgressFields fields(run);
    auto fetch = [&] {
      int32_t unused = 0;
      if (tls) {
        return ReceiveSecureWebPageAndCheck(
            host.c_str(), port, path.c_str(), pageFile.c_str(), timeoutMs, tls->verify,
            tls->certDays, tls->caFile, tls->errorText, static_cast<int32_t>(kTlsTextSize), &unused,
            fields.At(0), fields.At(1), fields.At(2), fields.At(3));
      }
      return ReceiveWebPageAndCheck(host.c_str(), port, path.c_str(), pageFile.c_str(), timeoutMs,
                                    &unused, fields.At(0), fields.At(1), fields.At(2), fields.At(3));
    };
    int32_t result = fetch();
    if (PageFailed(result)) {
      platform::SleepMs(agents::kRetryPauseMs);
      result = fetch();
    }
    fields.Keep();
    return Finish(run, job, host, result, pageFile, true, tls);
  }

 private:
  int32_t CheckAllLinks(agents::RunContext& run, agents::AccountJob& job, const std::string& host,
                        const std::string& path, const std::string& pageFile, int32_t port,
                        int32_t timeoutMs, SecureFetch* tls) {
    const common::ScanSettings& scan = run.scan;
    int32_t logMode = scan.logOn[common::kGroupHttp] == 0    ? 0
                      : scan.logAll[common::kGroupHttp] == 0 ? 1
                                                             : 2;
    std::vector<char> stateImage = run.state.Image();
    stateImage[0] = 1, stateImage[1] = stateImage[2] = stateImage[3] = 0;
    if (job.status.failCount > 0) {
      std::memset(stateImage.data() + run.profile.facts.downOffset, 0, 4);
      stateImage[run.profile.facts.downOffset] = 1;
    }
    common::CheckStatus prepared = job.status;
    if (prepared.failCount < 127) ++prepared.failCount;
    std::string statusPath;
    if (job.alertDue || run.firstRun) {
      common::SetField(prepared.errorDetected, agents::StampOf(platform::LocalNow()));
      statusPath = run.StatusPath(job.key);
    }
    std::vector<char> image = common::EncodeAccount(job.account);
    ProgressFields fields(run);
    const std::string stateFile = fields.StateFile();
    int32_t unused = 0;
    const std::string logDir = common::InDir(run.programDir, common::kLog);
    int32_t result = 0;
    if (tls) {
      result = ReceiveSecureWebPageAndCheckAll(
          host.c_str(), port, path.c_str(), pageFile.c_str(), timeoutMs, tls->verify, tls->certDays,
          tls->caFile, tls->errorText, static_cast<int32_t>(kTlsTextSize), &unused, fields.At(0),
          fields.At(1), fields.At(2), fields.At(3), logDir.c_str(), image.data(), kLinkFailedMessage,
          kLinkOkMessage, logMode, stateFile.c_str(), stateImage.data(),
          static_cast<int32_t>(stateImage.size()), statusPath.c_str(),
          reinterpret_cast<char*>(&prepared), static_cast<int32_t>(sizeof prepared));
    } else {
      result = ReceiveWebPageAndCheckAll(
          host.c_str(), port, path.c_str(), pageFile.c_str(), timeoutMs, &unused, fields.At(0),
          fields.At(1), fields.At(2), fields.At(3), logDir.c_str(), image.data(), kLinkFailedMessage,
          kLinkOkMessage, logMode, stateFile.c_str(), stateImage.data(),
          static_cast<int32_t>(stateImage.size()), statusPath.c_str(),
          reinterpret_cast<char*>(&prepared), static_cast<int32_t>(sizeof prepared));
    }
    fields.Keep();
    if (!statusPath.empty() && PageFailed(result)) TakeBackLinkMark(run, job, prepared);
    return result;
  }

  // On a failure the link check stores the prepared record itself (counter up, alert time
  // set). The failure step of the frame counts the run and decides the Down alert from the
  // record as it stood before the check, so that mark is taken back first: otherwise one
  // failed run would count twice and its own alert time would hide the Down alert that is
  // due (and a later success would raise an Up alert for an outage never reported).
  static void TakeBackLinkMark(agents::RunContext& run, const agents::AccountJob& job,
                               const common::CheckStatus& prepared) {
    common::UpdateCheckStatus(
        run.programDir, run.profile.facts.folder, job.key,
        [&](common::CheckStatus& s, bool exists) {
          if (!exists || s.failCount != prepared.failCount ||
              std::memcmp(s.errorDetected, prepared.errorDetected, sizeof s.errorDetected) != 0) {
            return false;  // changed since by someone else: leave it
          }
          s.failCount = job.status.failCount;
          std::memcpy(s.errorDetected, job.status.errorDetected, sizeof s.errorDetected);
          return true;
        });
  }

  agents::CheckResult Finish(agents::RunContext& run, agents::AccountJob& job,
                             const std::string& host, int32_t result, const std::string& pageFile,
                             bool singlePage, const SecureFetch* tls) {
    const bool ok = !PageFailed(result);
    agents::CheckResult r;
    r.code = result;
    r.failed = !ok;
    r.writeLine = singlePage;
    r.message = ok ? kOkMessage : kFailedMessage;
    std::string detail;
    // The retry text quotes the server's status line: it reaches the logs and the alert
    // with its control bytes escaped.
    if (!ok) detail = hostcheck::EscapeControlBytes(pagesentry::TakePageRetryText(pageFile));
    if (result < 101 || result == 200) {
      r.logCode = result;
      r.errorText = agents::ErrorText(result, host, run.profile.authErrorTexts);
      // A TLS failure names what failed (and a certificate's end date) in a text of its own.
      if (tls && tls->errorText[0] != '\0') r.errorText = tls->errorText;
    } else {
      r.logCode = -static_cast<long>(result);
      r.errorText = detail;
      r.countsAsFailure = true;
    }
    if (ok) {
      spares_.Give(pageFile);
    } else {
      pagesentry::KeepFailedPage(platform::DirName(pageFile), job.key, pageFile);
      r.alertMessage = singlePage ? std::string(kFailedMessage) + " " + r.errorText
                                  : std::string(kLinkFailedMessage) + " " + kLinksFailedText;
    }
    return r;
  }

  // The page's host, path, port and security from its record and side file. Problems in
  // the side file are logged, one event line each, and their defaults used.
  static pagesentry::PageTarget TargetOf(agents::RunContext& run, const agents::AccountJob& job,
                                         common::AccountOptions* options) {
    const common::AccountRecord& record = job.account.record;
    common::AccountOptionsRead read =
        common::ReadAccountOptions(run.programDir, job.key, common::kHttpPage);
    for (const std::string& problem : read.problems) {
      agents::WriteFrameworkLine(run.programDir, common::kAccountOptionsLogCode,
                                 common::kAccountOptionsLogTag,
                                 common::DecodeKey(job.key) + ": " + problem);
    }
    *options = read.options;
    return pagesentry::ResolvePageTarget(
        pagesentry::ParsePageAddress(job.host, common::FieldText(record.pagePath)), read,
        static_cast<int32_t>(record.httpPort));
  }

  // [PROGRAM] TLSCAFILE, read once per run; a file that cannot be read is logged once.
  const std::string& TrustFile(agents::RunContext& run) {
    std::call_once(trustRead_, [&] {
      caFile_ = common::ReadTrustFileSetting(run.programDir);
      if (!caFile_.empty() && ::access(caFile_.c_str(), R_OK) != 0) {
        agents::WriteFrameworkLine(run.programDir, common::kAccountOptionsLogCode,
                                   common::kAccountOptionsLogTag,
                                   "TLSCAFILE=" + caFile_ + " cannot be read");
      }
    });
    return caFile_;
  }

  // Emptied page files of passed checks, deleted when the check ends with the run.
  pagesentry::SparePages spares_;
  std::once_flag trustRead_;
  std::string caFile_;
};

}  // namespace

int main(int argc, char** argv) {
  PageCheck check;
  return agents::RunAgent(
      argc, argv, agents::kPageProfile, {&Ping, &IsMailPortOpen},
      [&](agents::RunContext& run, const std::string& key) {
        agents::CheckAccount(run, check, key);
      },
      agents::Concurrently());
}
