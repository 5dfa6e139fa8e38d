// XferSentry: proves that an FTP server really works by a round trip of a small test file:
// upload, download and delete, each stage timed and logged. A stage that fails ends the
// account's check; the Up alert waits for the delete stage.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "FileFerry.h"
#include "HostCheck.h"
#include "agents/framework/account_frame.h"
#include "agents/framework/account_tls.h"
#include "agents/framework/agent_log.h"
#include "agents/framework/agent_profiles.h"
#include "agents/framework/agent_run.h"
#include "agents/framework/error_text.h"
#include "agents/framework/probe_checks.h"
#include "common/elapsed.h"
#include "common/file_ops.h"
#include "common/layout.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/ini.h"

namespace {

constexpr const char* kTestText = "This is a FTP test file used by KT.Varnock 2.0";
constexpr const char* kRemoteName = "FTP_test.text";
constexpr const char* kDefaultTestFile = "FTP_test.text";  // in <dir>/temp
constexpr const char* kDownloadTarget = "samplerc.dat";
constexpr const char* kLoginFailed = "FTP Login Failed Error: ";
constexpr int32_t kLoginFailedCode = -912;
constexpr int32_t kDeadlinePassedCode = -906;

struct Stage {
  size_t busyFlag;  // its busy flag in ftpPara.dat
  const char* okMessage;
  const char* failedMessage;
};

constexpr Stage kUpload = {0, "FTP Upload OK", "FTP Upload Failed Error: "};
constexpr Stage kDownload = {1, "FTP Download OK", "FTP Download Failed Error: "};
constexpr Stage kDelete = {2, "FTP Delete OK", "FTP Delete Failed Error: "};

std::string PassedMessage(const Stage& stage, int64_t seconds) {
  char text[96];
  std::snprintf(text, sizeof text, "%s Passed Time: %ldsec", stage.okMessage,
                static_cast<long>(seconds));
  return text;
}

// Up to two tries, 500 ms apart; above 0 is a success. A try that ran into the overall
// deadline (10 time-outs, at most 5 minutes) has used up the stage's time: a second one
// would hold the group for another deadline.
int32_t TryTwice(const std::function<int32_t()>& call) {
  int32_t result = call();
  if (result > 0 || result == kDeadlinePassedCode) return result;
  platform::SleepMs(agents::kRetryPauseMs);
  return call();
}

// How the account's transfers reach the server: the server text for the library (the
// record's host, with the side file's PORT when that names one) and, for an FTPS account,
// the secure forms' settings. `mode` 0 is the plain dialogue through the described calls.
struct FtpTarget {
  std::string server;
  int32_t mode = 0;  // 1 AUTH TLS on the plain port, 2 TLS from the first byte
  int32_t verify = 1;
  std::string caFile;
  int32_t certDays = 0;
};

// "host:port", "[v6address]:port"; a host that already names a port keeps it.
std::string WithPort(const std::string& host, int32_t port) {
  const size_t colons = std::count(host.begin(), host.end(), ':');
  if (colons == 1 || (!host.empty() && host[0] == '[')) return host;
  const std::string name = colons > 1 ? "[" + host + "]" : host;
  return name + ":" + std::to_string(port);
}

class TransferCheck : public agents::BlockingCheck {
 public:
  bool Enabled(const common::AccountRecord& record) const override {
    return record.isFtpTransfer != 0;
  }

  // The account's start time is taken before its record is read.
  void AfterStatusRead(agents::RunContext& run) override {
    start_ = platform::LocalNow();
    run.state.WriteBusy(1);
  }

  agents::CheckResult Check(agents::RunContext& run, agents::AccountJob& job) override {
    ApplyDataMode(run);
    const common::AccountRecord& record = job.account.record;
    const int32_t timeoutMs = static_cast<int32_t>(record.ftpPortTimeout) * 1000;
    const std::string user = common::FieldText(record.ftpUser);
    const std::string password = common::FieldText(record.ftpPassword);
    std::string testFile = common::FieldText(record.localTestFile);
    if (testFile.empty()) testFile = common::InDir(run.programDir, common::kTemp, kDefaultTestFile);
    const std::string target = common::InDir(run.programDir, kDownloadTarget);
    const FtpTarget ftp = TargetOf(run, job);
    const char* host = ftp.server.c_str();
    const char* caFile = ftp.caFile.c_str();
    // Filled by the library; read only for the end date of a certificate that ends soon.
    char errorText[1024] = {};

    // A test file that cannot be written is not reported: the upload then fails.
    common::WriteWholeFile(testFile, kTestText, std::strlen(kTestText));
    int32_t code = TryTwice([&] {
      if (ftp.mode != 0) {
        return SendFileToHostSecure(host, user.c_str(), password.c_str(), testFile.c_str(),
                                    kRemoteName, timeoutMs, errorText, ftp.mode, ftp.verify, caFile,
                                    ftp.certDays);
      }
      return SendFileToHost(host, user.c_str(), password.c_str(), testFile.c_str(), kRemoteName,
                            timeoutMs, errorText);
    });
    if (code <= 0) return Failure(run, job, kUpload, code, errorText);
    const int64_t uploadSeconds = common::ElapsedSeconds(start_, platform::LocalNow());
    WriteStageLine(run, job, PassedMessage(kUpload, uploadSeconds), code);

    BeginStage(run, job, kDownload);
    platform::RemoveFile(target);
    code = TryTwice([&] {
      if (ftp.mode != 0) {
        return ReceiveFileFromHostSecure(host, user.c_str(), password.c_str(), kRemoteName,
                                         target.c_str(), timeoutMs, errorText, ftp.mode, ftp.verify,
                                         caFile, ftp.certDays);
      }
      return ReceiveFileFromHost(host, user.c_str(), password.c_str(), kRemoteName, target.c_str(),
                                 timeoutMs, errorText);
    });
    if (code <= 0) return Failure(run, job, kDownload, code, errorText);
    const int64_t throughDownload = common::ElapsedSeconds(start_, platform::LocalNow());
    WriteStageLine(run, job, PassedMessage(kDownload, throughDownload - uploadSeconds), code);

    BeginStage(run, job, kDelete);
    code = TryTwice([&] {
      if (ftp.mode != 0) {
        return DeleteFileFromHostSecure(host, user.c_str(), password.c_str(), kRemoteName,
                                        timeoutMs, errorText, ftp.mode, ftp.verify, caFile,
                                        ftp.certDays);
      }
      return DeleteFileFromHost(host, user.c_str(), password.c_str(), kRemoteName, timeoutMs,
                                errorText);
    });
    if (code <= 0) return Failure(run, job, kDelete, code, errorText);
    const int64_t total = common::ElapsedSeconds(start_, platform::LocalNow());
    // The frame writes this last line and then considers the Up alert.
    agents::CheckResult r;
    r.code = code;
    r.logCode = code;
    r.message = PassedMessage(kDelete, total - throughDownload);
    r.errorText = agents::ErrorText(code, job.host, run.profile.authErrorTexts);
    return r;
  }

 private:
  // Data connections are active unless Varnock.ini says FTPPASSIVE=1; the library reads
  // the choice from the environment.
  void ApplyDataMode(agents::RunContext& run) {
    if (dataModeSet_) return;
    dataModeSet_ = true;
    const long passive =
        platform::IniGetInt(common::IniPath(run.programDir), common::kIniSection, "FTPPASSIVE", 0);
    ::setenv("VARN_FTP_PASSIVE", passive == 1 ? "1" : "0", 1);
  }

  // The account's server and security from its record and side file (problems logged).
  FtpTarget TargetOf(agents::RunContext& run, const agents::AccountJob& job) {
    const common::AccountOptionsRead read =
        agents::ReadLoggedOptions(run.programDir, job.key, common::kFtpTransfer);
    const common::AccountOptions& o = read.options;
    FtpTarget t;
    t.server =
        agents::SidePortSet(read, common::kFtpTransfer) ? WithPort(job.host, o.port) : job.host;
    if (!o.secure) return t;
    t.mode = o.tlsMode == common::TlsMode::kImplicit ? 2 : 1;
    t.verify = o.verify ? 1 : 0;
    t.caFile = trustFile_.Get(run.programDir);
    t.certDays = o.certDays;
    return t;
  }

  static void BeginStage(agents::RunContext& run, agents::AccountJob& job, const Stage& stage) {
    agents::NoteStageStart(run, job);
    run.state.WriteField(stage.busyFlag, 1);
  }

  static void WriteStageLine(agents::RunContext& run, const agents::AccountJob& job,
                             const std::string& message, int32_t code) {
    agents::WriteAccountLine(run, code, common::FieldText(job.account.record.key), message,
                             agents::ErrorText(code, job.host, run.profile.authErrorTexts), false);
  }

  static agents::CheckResult Failure(agents::RunContext& run, const agents::AccountJob& job,
                                     const Stage& stage, int32_t code, const char* detail) {
    run.state.WriteField(stage.busyFlag, 1);
    agents::CheckResult r;
    r.code = code;
    r.logCode = code;
    r.failed = true;
    r.message = code == kLoginFailedCode ? kLoginFailed : stage.failedMessage;
    r.errorText = agents::SecureErrorText(code, job.host, run.profile.authErrorTexts, detail);
    r.alertMessage = r.message + r.errorText;
    return r;
  }

  platform::SystemTime start_{};
  bool dataModeSet_ = false;
  agents::TrustFileSetting trustFile_;
};

}  // namespace

int main(int argc, char** argv) {
  TransferCheck check;
  return agents::RunAgent(argc, argv, agents::kXferProfile, {&Ping, &IsMailPortOpen},
                          [&](agents::RunContext& run, const std::string& key) {
                            agents::CheckAccount(run, check, key);
                          });
}
