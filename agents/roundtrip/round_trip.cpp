#include "agents/roundtrip/round_trip.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "agents/framework/account_frame.h"
#include "agents/framework/account_tls.h"
#include "agents/framework/agent_log.h"
#include "agents/framework/agent_run.h"
#include "agents/framework/alert_desk.h"
#include "agents/framework/error_text.h"
#include "agents/roundtrip/launcher.h"
#include "agents/roundtrip/param_file.h"
#include "common/elapsed.h"
#include "common/file_ops.h"
#include "common/layout.h"
#include "common/record_texts.h"
#include "common/status_update.h"
#include "hostcheck/ResultCodes.h"
#include "platform/files.h"
#include "platform/lock.h"
#include "platform/process.h"

namespace roundtrip {
namespace {

constexpr const char* kSendOk = "Mail Send OK";
constexpr const char* kSendFailed = "Mail Send Failed Error: ";
constexpr const char* kSmtpAuthFailed = "SMTP Auth Failed Error: ";
constexpr const char* kReceiveOk = "Mail Receive OK";
constexpr const char* kReceiveFailed = "Mail Receive Failed Error: ";
constexpr const char* kPopAuthFailed = "POP Auth Failed Error: ";
constexpr const char* kNotReceived = "Mail Receive Failed Error: Not Received from SMTP  ";
constexpr const char* kSendCheckType = "SMTP Send";
constexpr const char* kReceiveCheckType = "POP Receive";
constexpr int32_t kSmtpAuthCode = -911;
constexpr int32_t kPopAuthCode = -17;
constexpr int32_t kTimeoutCode = -906;
constexpr int kMaxAttempts = 100;
constexpr int64_t kRetryPauseMs = 500;
constexpr size_t kMatchBytes = 3000;
constexpr size_t kSendBusy = 0;
constexpr size_t kReceiveBusy = 1;
// Longer than a run of the same mailbox may take (at most about 17 minutes of polling).
constexpr int kMailboxTurnMs = 20 * 60 * 1000;

// The e-mail agent's profile. The state file is the run's numbered one.
agents::AgentProfile MakeProfile(const char* stateFile) {
  agents::AgentProfile p{};
  p.facts = common::FactsOf(common::Agent::kRoundTrip);
  p.facts.stateFile = stateFile;
  p.skippedText = "Email Scan Process Skipped: %s";
  p.checkType = kSendCheckType;
  p.alertTagName = "Email";
  p.logGroup = common::kGroupEmail;
  p.authErrorTexts = true;
  return p;
}

// Removes the parameter file however the run ends.
struct ParamFileRemover {
  std::string path;
  ~ParamFileRemover() { platform::RemoveFile(path); }
};

std::string PassedText(const char* checkType, int64_t seconds) {
  char text[160];
  std::snprintf(text, sizeof text, "%s Passed Time: %ldsec", checkType, static_cast<long>(seconds));
  return text;
}

enum class Attempt { kNotYet, kFound, kFailed, kStop };

class RoundTrip {
 public:
  RoundTrip(agents::RunContext& run, const Params& params, const Services& services)
      : run_(run), params_(params), services_(services) {}

  bool SendPhase();
  Attempt ReceiveAttempt();
  void Poll();

 private:
  bool ReadJob(agents::AccountJob* job);
  // The frame's failure step for a stage: its busy flag set, the account line with
  // `message` and `errorText`, and the Down alert named after the stage.
  void Failed(agents::AccountJob& job, size_t busyFlag, const char* checkType, int32_t code,
              const std::string& message, const std::string& errorText);
  // The fetch into the account's own mailbox and the search for this run's message; a
  // secure fetch's reason for a TLS failure goes to `detail`.
  int32_t Fetch(const common::AccountRecord& record, bool* found, std::string* detail);
  // Looks for this run's message among the files a successful fetch stored in `mailbox`
  // (`fetched`); every other file is kept in the mailbox folder, and `mailbox` removed.
  bool Match(const std::string& mailbox, bool fetched);
  int64_t SecondsSinceSend() const {
    return common::ElapsedSeconds(sendTime_, platform::LocalNow());
  }

  agents::RunContext& run_;
  const Params& params_;
  const Services& services_;
  platform::SystemTime sendTime_{};
  platform::FileLock mailboxTurn_;  // held from the send to the end of the run
  std::string subject_;
  common::AccountOptionsRead options_;  // the side file, read (and its problems logged) once
  std::string caFile_;
};

bool RoundTrip::ReadJob(agents::AccountJob* job) {
  job->key = params_.accountFile;
  common::ReadStatusRecord(params_.statusPath, &job->status, sizeof job->status);
  job->alertDue = job->status.errorDetected[0] == '\0';
  bool whole = false;
  job->account = common::ReadAccount(params_.accountPath, &whole);
  return whole;
}

void RoundTrip::Failed(agents::AccountJob& job, size_t busyFlag, const char* checkType,
                       int32_t code, const std::string& message, const std::string& errorText) {
  agents::CheckResult result;
  result.code = code;
  result.failed = true;
  result.logCode = code;
  result.message = message;
  result.errorText = errorText;
  result.alertMessage = message + errorText;
  agents::FailureStep(
      run_, job, result,
      [&] {
        run_.state.SetField(busyFlag, 1);
        run_.state.Save();
      },
      checkType);
}

bool RoundTrip::SendPhase() {
  agents::AccountJob job;
  job.key = params_.accountFile;
  if (run_.firstRun) {
    common::UpdateCheckStatus(run_.programDir, common::StatusFolder::kEmail, job.key,
                              [&](common::CheckStatus& s, bool exists) {
                                if (!exists) return false;
                                agents::ResetStatusBlock(s, run_.startTime);
                                return true;
                              });
  }
  const bool whole = ReadJob(&job);
  if (!run_.fullRun && job.status.lastFailure[0] == '\0') return false;
  const common::AccountRecord& record = job.account.record;
  const std::string smtpHost = common::FieldText(record.host);
  if (!whole || record.enabled != 1 || smtpHost.empty() || job.status.enabled == 0) return false;
  // An account whose round trip is switched off is neither sent to nor polled.
  if (record.isEmail == 0) return false;

  // Every fetch deletes what it fetched, so a run on the same POP3 mailbox would take this
  // run's message away from it: round trips of one mailbox take turns. Should the turn not
  // come, the run goes on; a message taken away then fails it, never passes it.
  const std::string popHost = common::FieldText(record.popServer);
  if (!popHost.empty()) {
    mailboxTurn_.AcquireWithin(
        platform::NamedLockPath(
            run_.programDir,
            MailboxTurnName(popHost, record.popPort, common::FieldText(record.popUser))),
        kMailboxTurnMs);
  }

  if (!agents::NoteStageStart(run_, job)) return false;
  run_.state.WriteField(kSendBusy, 1);
  options_ = agents::ReadLoggedOptions(run_.programDir, job.key, common::kEmail);
  if (options_.options.secure) {
    agents::TrustFileSetting trust;  // a file that cannot be read is logged
    caFile_ = trust.Get(run_.programDir);
  }
  sendTime_ = platform::LocalNow();
  subject_ = TestSubject(sendTime_, static_cast<long>(::getpid()));

  mail::MailJob mailJob;
  mailJob.charset = 0;  // the test message is plain ASCII
  mailJob.smtpHost = smtpHost;
  mailJob.smtpPort = static_cast<int32_t>(record.smtpPort);
  mailJob.to = common::FieldText(record.testRecipient);
  mailJob.from = common::FieldText(run_.alert.settings.fromAddress);
  mailJob.subject = subject_;
  mailJob.body = TestBody(smtpHost, common::FieldText(record.popServer));
  const int64_t boundMs = record.smtpPortTimeout > 0 ? record.smtpPortTimeout * 1000LL : 2000;
  const std::string user = common::FieldText(record.smtpUser);
  const std::string password = common::FieldText(record.smtpPassword);
  const std::string tempDir = common::InDir(run_.programDir, common::kTemp);
  const mail::SmtpOptions smtp =
      services_.smtpOptions ? services_.smtpOptions(run_.programDir, job.key) : mail::SmtpOptions{};
  mail::OneMailResult sent = mail::SendOneMail(mailJob, user, password, tempDir, boundMs, smtp);
  int32_t code = SendCode(sent);
  if (code < 0) {
    services_.pause(kRetryPauseMs);
    sent = mail::SendOneMail(mailJob, user, password, tempDir, boundMs, smtp);
    code = SendCode(sent);
  }
  // A certificate ending within the warning days names its end and the days left.
  const std::string errorText = agents::SecureErrorText(code, smtpHost, true, sent.tlsDetail);
  if (code < 0) {
    const std::string message = code == kSmtpAuthCode ? kSmtpAuthFailed : kSendFailed;
    Failed(job, kSendBusy, kSendCheckType, code, message, errorText);
    return false;
  }
  agents::WriteAccountLine(run_, code, common::FieldText(record.key), kSendOk, errorText, false);
  return true;
}

namespace {

bool HoldsText(const std::string& path, const std::string& text) {
  std::string head(kMatchBytes, '\0');
  const long n = platform::ReadPrefix(path, head.data(), head.size());
  head.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return head.find(text) != std::string::npos;
}

bool IsMessageFile(const std::string& name) {
  return name.size() > 4 && name[0] != '.' && name.compare(name.size() - 4, 4, ".eml") == 0;
}

// Moves a fetched message into `dir` under its own name or, when that is taken, with
// "_2", "_3", ... before ".eml": a kept message never replaces another (link() fails on an
// existing name, where rename() would replace it).
void KeepIn(const std::string& path, const std::string& dir, const std::string& name) {
  const std::string stem = name.substr(0, name.size() - 4);
  for (int i = 1; i < 1000; ++i) {
    const std::string target =
        platform::JoinPath(dir, i == 1 ? name : stem + "_" + std::to_string(i) + ".eml");
    if (::link(path.c_str(), target.c_str()) == 0) break;
    if (errno != EEXIST) break;
  }
  ::unlink(path.c_str());
}

}  // namespace

bool RoundTrip::Match(const std::string& mailbox, bool fetched) {
  bool found = false;
  for (const std::string& name : platform::ListFiles(mailbox)) {
    if (!IsMessageFile(name)) continue;
    const std::string path = platform::JoinPath(mailbox, name);
    if (fetched && !found && HoldsText(path, subject_)) {
      platform::RemoveFile(path);
      found = true;
      continue;
    }
    // Someone else's mail, or an earlier run's test message, is kept.
    KeepIn(path, params_.mailboxDir, name);
  }
  for (const std::string& name : platform::ListFiles(mailbox))
    platform::RemoveFile(platform::JoinPath(mailbox, name));
  ::rmdir(mailbox.c_str());
  return found;
}

int32_t RoundTrip::Fetch(const common::AccountRecord& record, bool* found, std::string* detail) {
  const std::string popHost = common::FieldText(record.popServer);
  const std::string user = common::FieldText(record.popUser);
  const std::string password = common::FieldText(record.popPassword);
  // A folder of this account's own: two accounts with one POP3 user name (on one server or
  // two) must not take each other's messages out of a shared folder while both run.
  std::string folder = user;
  for (char& c : folder)
    if (c == '/') c = '_';
  folder = "_" + folder + "." + params_.accountFile;
  const std::string mailbox = platform::JoinPath(params_.mailboxDir, folder);
  platform::MakeDirs(params_.mailboxDir, 0700);
  platform::MakeDirs(mailbox, 0700);
  // The whole timeout, not only its low 16 bits: a wait of more than 65 s stays that long.
  const int32_t timeoutMs = record.popPortTimeout > 0 ? record.popPortTimeout * 1000 : 0;
  const common::AccountOptions& o = options_.options;
  int32_t port =
      agents::SidePopPortSet(options_) ? o.popPort : static_cast<int32_t>(record.popPort);
  int32_t code = 0;
  if (o.secure && services_.retrieveSecure == nullptr) {
    code = -1;  // never fetch in the clear what was to be secure
  } else if (o.secure) {
    // TLS from the first byte goes to 995 unless the side file names a port: the record's
    // port is the plain one.
    const bool implicit = common::PopTlsMode(o) == common::TlsMode::kImplicit;
    if (implicit && !agents::SidePopPortSet(options_)) port = 0;
    char errorText[1024] = "";
    code = services_.retrieveSecure(
        popHost.c_str(), user.c_str(), password.c_str(), mailbox.c_str(), ".eml", 1, 0, "", port,
        timeoutMs, implicit ? 2 : 1, o.verify ? 1 : 0, caFile_.c_str(), o.certDays, errorText);
    *detail = errorText;
  } else {
    code = services_.retrieve(popHost.c_str(), user.c_str(), password.c_str(), mailbox.c_str(),
                              ".eml", 1, 0, "", port, timeoutMs);
  }
  // Only this account's own fetch, and only one that worked, proves the message came back:
  // a copy that another account kept, or files of a fetch that failed, prove nothing.
  *found = Match(mailbox, code >= 0);
  return code;
}

Attempt RoundTrip::ReceiveAttempt() {
  if (!agents::PairRecords(run_, params_.accountFile)) return Attempt::kStop;
  agents::AccountJob job;
  const bool whole = ReadJob(&job);
  const common::AccountRecord& record = job.account.record;
  const std::string popHost = common::FieldText(record.popServer);
  if (!whole || record.enabled != 1 || popHost.empty() || job.status.enabled == 0 ||
      record.isEmail == 0) {
    return Attempt::kStop;
  }
  run_.state.WriteField(kReceiveBusy, 1);
  if (!agents::NoteStageStart(run_, job)) return Attempt::kStop;

  bool found = false;
  std::string detail;
  int32_t code = Fetch(record, &found, &detail);
  if (code < 0) {
    services_.pause(kRetryPauseMs);
    code = Fetch(record, &found, &detail);
  }
  if (found) {
    agents::CheckResult result;
    result.code = 1;
    result.logCode = 1;
    result.message = PassedText(kReceiveOk, SecondsSinceSend());
    result.errorText = agents::ErrorText(1, popHost, true);
    agents::SuccessStep(run_, job, result, kReceiveCheckType);
    return Attempt::kFound;
  }
  if (code < 0) {
    code = MapReceiveCode(code);
    const std::string message = code == kPopAuthCode ? kPopAuthFailed : kReceiveFailed;
    const std::string errorText = agents::SecureErrorText(code, popHost, true, detail);
    Failed(job, kReceiveBusy, kReceiveCheckType, code, message, errorText);
    return Attempt::kFailed;
  }
  const int64_t elapsed = SecondsSinceSend();
  if (static_cast<int64_t>(record.sendReceiveTimeout) < elapsed + 10) {
    const std::string message = PassedText(kNotReceived, elapsed);
    const std::string errorText = agents::ErrorText(kTimeoutCode, popHost, true);
    Failed(job, kReceiveBusy, kReceiveCheckType, kTimeoutCode, message, errorText);
    return Attempt::kFailed;
  }
  return Attempt::kNotYet;
}

void RoundTrip::Poll() {
  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    if (ReceiveAttempt() != Attempt::kNotYet) return;
    services_.pause(services_.pollPauseMs);
  }
}

}  // namespace

std::string GuardName(const std::string& accountFile) {
  return std::string(common::FactsOf(common::Agent::kRoundTrip).program) + "One" + accountFile;
}

std::string MailboxTurnName(const std::string& popHost, uint32_t popPort,
                            const std::string& popUser) {
  // Host names are compared without regard to case; user names as they are.
  std::string mailbox;
  for (char c : popHost) mailbox += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  mailbox += '\n' + std::to_string(popPort) + '\n' + popUser;
  uint64_t hash = 14695981039346656037ull;  // FNV-1a: short, stable across programs
  for (char c : mailbox) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ull;
  }
  char name[40];
  std::snprintf(name, sizeof name, "RoundTripMailbox%016llx",
                static_cast<unsigned long long>(hash));
  return name;
}

mail::SmtpOptions AccountSmtpOptions(const std::string& programDir, const std::string& accountKey) {
  const common::AccountOptionsRead read =
      common::ReadAccountOptions(programDir, accountKey, common::kEmail);
  const common::AccountOptions& o = read.options;
  mail::SmtpOptions smtp;
  if (agents::SidePortSet(read, common::kEmail)) smtp.port = static_cast<uint16_t>(o.port);
  if (!o.secure) return smtp;
  smtp.secure = true;
  smtp.implicit = o.tlsMode == common::TlsMode::kImplicit;
  smtp.verify = o.verify;
  smtp.caFile = common::ReadTrustFileSetting(programDir);
  smtp.certDays = o.certDays;
  return smtp;
}

std::string TestSubject(const platform::SystemTime& t, long pid) {
  char text[128];
  std::snprintf(text, sizeof text,
                "KT.Varnock POP Checking ID: %04d/%02d/%02d %02d:%02d:%02d:%03d:%03ld", t.year,
                t.month, t.day, t.hour, t.minute, t.second, t.milliseconds, pid);
  return text;
}

std::string TestBody(const std::string& smtpHost, const std::string& popHost) {
  return "KT.Varnock POP Checking SMTP: " + smtpHost + ", POP: " + popHost;
}

int32_t SendCode(const mail::OneMailResult& result) {
  switch (result.outcome) {
    case mail::OneMailOutcome::kSent:
      return 1;
    case mail::OneMailOutcome::kLoginRefused:
      return kSmtpAuthCode;
    case mail::OneMailOutcome::kConnectFailed:
      return -902;
    case mail::OneMailOutcome::kTimedOut:
      return kTimeoutCode;
    case mail::OneMailOutcome::kNotSecure:
      switch (result.tls) {
        case mail::TlsFailure::kUntrusted:
          return hostcheck::kTlsUntrusted;
        case mail::TlsFailure::kExpired:
          return hostcheck::kTlsExpired;
        case mail::TlsFailure::kHostMismatch:
          return hostcheck::kTlsHostMismatch;
        case mail::TlsFailure::kRefused:
          return hostcheck::kTlsRefused;
        case mail::TlsFailure::kExpiresSoon:
          return hostcheck::kTlsExpiresSoon;
        default:
          return hostcheck::kTlsHandshake;
      }
    default:
      return -904;
  }
}

int32_t MapReceiveCode(int32_t code) {
  if (code == -5) return -900;
  if (code == -1) return -902;
  return code;
}

int RunAccount(const std::string& paramPath, const Services& services) {
  const platform::SystemTime start = platform::LocalNow();
  ParamFileRemover remover{paramPath};
  const Params params = ReadParamFile(paramPath);
  if (params.accountPath.empty() || params.statusPath.empty() || params.accountFile.empty() ||
      params.baseDir.empty() || !agents::IsSafeKey(params.accountFile)) {
    return 0;
  }
  const std::string& dir = params.baseDir;
  platform::MakeDirs(common::InDir(dir, common::kLog));
  platform::FileLock guard;
  if (!agents::AcquireRunGuard(dir, GuardName(params.accountFile),
                               "Email Scan Process Skipped: " + params.accountFile, guard)) {
    return 0;
  }

  // The numbered state file lives in the program directory beside the others.
  std::string stateName = params.statePath.substr(params.statePath.find_last_of('/') + 1);
  if (stateName.empty() || stateName[0] == '.') {
    stateName = common::FactsOf(common::Agent::kRoundTrip).stateFile;
  }
  const agents::AgentProfile profile = MakeProfile(stateName.c_str());
  agents::RunContext run(profile, dir, params.fullRun ? 1 : 0);
  run.startTime = start;
  run.firstRun = params.firstRun;
  run.probes = services.probes;
  agents::PrepareRun(run);

  // Only the send stage's busy flag is set at the start; the receive stage sets its own.
  agents::RunBetweenMarks(
      run, [&] { run.state.SetField(kSendBusy, 1); },
      [&] {
        RoundTrip trip(run, params, services);
        if (trip.SendPhase()) trip.Poll();
      });
  agents::StartAlertDesk(run);
  return 0;
}

}  // namespace roundtrip
