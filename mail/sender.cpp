#include "mail/sender.h"

#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "common/daily_log.h"
#include "common/layout.h"
#include "mail/addresses.h"
#include "mail/compose.h"
#include "platform/files.h"
#include "platform/ini.h"

namespace mail {
namespace {

constexpr const char* kSection = "PROGRAM";
constexpr const char* kDefaultMailer = "RELAYKIT3 1.1";
constexpr size_t kMaxLogin = 64;
constexpr size_t kMaxMailerName = 259;
constexpr int kPauses = 10;
constexpr size_t kMaxLoginInput = 4096;

int64_t EnvMs(const char* name, int64_t fallback) {
  const char* v = std::getenv(name);
  if (v == nullptr || *v == '\0') return fallback;
  char* end = nullptr;
  const long long n = std::strtoll(v, &end, 10);
  return (end != v && n > 0) ? n : fallback;
}

// A field of the entry's first line: a line break in a job text must not split it.
std::string LogField(const std::string& text) {
  std::string out = text;
  for (char& c : out)
    if (c == '\r' || c == '\n') c = ' ';
  return out;
}

}  // namespace

std::string SenderSettingsPath() {
  const char* dir = std::getenv("VARNPOST_ETC_DIR");
  return platform::JoinPath(dir != nullptr && *dir != '\0' ? dir : "/etc", "RELAYKIT3.INI");
}

std::string SettingTempDir() {
  return platform::IniGetString(SenderSettingsPath(), kSection, "TEMPDIR", "");
}

std::string SettingMailer() {
  std::string m = platform::IniGetString(SenderSettingsPath(), kSection, "MAILER", "");
  return m.empty() ? kDefaultMailer : m;
}

long SettingLogLevel() {
  return platform::IniGetInt(SenderSettingsPath(), kSection, "LOGLEVEL", 1);
}

long SettingRetryCount() {
  return platform::IniGetInt(SenderSettingsPath(), kSection, "RETRYCOUNT", 5);
}

CommandLine ParseCommandLine(const std::string& text) {
  CommandLine out;
  const size_t first = text.find(' ');
  out.jobPath = text.substr(0, first);
  if (first == std::string::npos) return out;
  const size_t second = text.find(' ', first + 1);
  if (second == std::string::npos) return out;
  out.user = text.substr(first + 1, second - first - 1).substr(0, kMaxLogin);
  out.password = text.substr(second + 1).substr(0, kMaxLogin);
  return out;
}

void ReadLogin(int fd, std::string* user, std::string* password, int waitMs) {
  if (isatty(fd)) return;
  std::string input;
  const int64_t deadline = platform::MonotonicMs() + waitMs;
  char buffer[512];
  while (input.size() < kMaxLoginInput) {
    const int64_t left = deadline - platform::MonotonicMs();
    if (left <= 0) break;
    pollfd p{fd, POLLIN, 0};
    const int n = poll(&p, 1, static_cast<int>(left));
    if (n <= 0) break;
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got <= 0) break;
    input.append(buffer, static_cast<size_t>(got));
  }
  auto takeLine = [&input](size_t& pos) {
    size_t end = input.find('\n', pos);
    if (end == std::string::npos) end = input.size();
    std::string line = input.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line.substr(0, kMaxLogin);
  };
  size_t pos = 0;
  if (pos < input.size()) *user = takeLine(pos);
  if (pos < input.size()) *password = takeLine(pos);
}

LogDestination ParseLogDestination(const std::string& text) {
  LogDestination out;
  size_t comma = text.find(',');
  out.dir = text.substr(0, comma);
  while (comma != std::string::npos) {
    const size_t next = text.find(',', comma + 1);
    if (next == std::string::npos) break;
    out.level = std::strtol(text.substr(comma + 1, next - comma - 1).c_str(), nullptr, 10);
    out.mailer = text.substr(next + 1).substr(0, kMaxMailerName);
    comma = next;
  }
  return out;
}

std::string MailLogPath(const std::string& dir, const platform::SystemTime& t) {
  char name[32];
  std::snprintf(name, sizeof name, "%04d%02d%02d.log", t.year % 10000, t.month % 100,
                t.day / 7 + 1);
  return platform::JoinPath(dir, name);
}

std::string MailLogEntry(const platform::SystemTime& t, int result, const std::string& sender,
                         const std::string& to, const std::string& subject,
                         const std::string& smtpHost, const std::string& body,
                         const std::string& reason) {
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%02d/%02d/%02d %02d:%02d:%02d    ", t.year, t.month, t.day,
                t.hour, t.minute, t.second);
  std::string out = stamp;
  out += result == kResultSuccess ? "Succeeded to send a mail " : "Failed to send a mail ";
  out += "[From:" + LogField(sender) + ", To:" + LogField(to) + ", Title:" + LogField(subject) +
         ", SMTP:" + LogField(smtpHost);
  out += result == kResultSuccess ? " Error:RESULT_SUCCESS"
         : result == kResultAbort ? " Error:RESULT_ABORT"
                                  : " Error:RESULT_FAILURE";
  if (!reason.empty()) out += " (" + LogField(reason) + ")";
  out += "]\r\n";
  out += "Description:" + body + "\r\n\r\n";
  return out;
}

bool LogLevelWrites(long level, int result) {
  if (level == 0) return false;
  if (level == 1) return result != kResultSuccess;
  return true;
}

SenderTiming SenderTiming::FromEnvironment() {
  SenderTiming t;
  t.boundMs = EnvMs("VARNPOST_TEST_BOUND_MS", t.boundMs);
  t.pauseMs = EnvMs("VARNPOST_TEST_PAUSE_MS", t.pauseMs);
  return t;
}

AlertSender::AlertSender(MailJob job, std::string user, std::string password, SenderTiming timing)
    : job_(std::move(job)),
      user_(std::move(user)),
      password_(std::move(password)),
      timing_(timing) {
  if (job_.subject.empty()) job_.subject = "None";
  std::string body;
  body.reserve(job_.body.size());
  for (char c : job_.body)
    if (c != '\r') body.push_back(c);
  job_.body = std::move(body);
  sender_ = EnvelopeSender(job_.from);
  log_ = ParseLogDestination(job_.logDestination);
}

AlertSender::~AlertSender() {
  smtp_.reset();
  if (!composedPath_.empty()) platform::RemoveFile(composedPath_);
}

void AlertSender::Run() {
  EventLoop::Instance().WatchTermination(this);
  StartAttempt();
  if (!done_) EventLoop::Instance().Run();
}

void AlertSender::StartAttempt() {
  lastTls_ = TlsFailure::kNone;
  ComposedMail composed;
  const std::string mailer = log_.mailer.empty() ? SettingMailer() : log_.mailer;
  const ComposeStatus status = ComposeMessage(job_, mailer, SettingTempDir(), &composed);
  if (status == ComposeStatus::kNoRecipients) {
    done_ = true;
    EventLoop::Instance().Quit();
    return;
  }
  if (status != ComposeStatus::kComposed) {
    Complete(kResultFailure);
    return;
  }
  composed_ = true;
  composedPath_ = composed.path;
  smtp_ = std::make_unique<CSMTP>(this, kMsgUser, user_, password_);
  smtp_->SetBoundMs(timing_.boundMs);
  smtp_->SetTls(job_.tls);
  if (std::getenv("VARNPOST_DEBUG") != nullptr)
    smtp_->SetTrace([](const std::string& line) { std::cerr << line << "\n"; });
  if (!smtp_->Start(job_.smtpHost, static_cast<uint16_t>(job_.smtpPort & 0xFFFF), composed.path,
                    composed.sender, composed.recipients)) {
    Complete(kResultFailure);
  }
}

void AlertSender::Log(int result) {
  const long level = log_.level ? *log_.level : SettingLogLevel();
  if (LogLevelWrites(level, result) && !log_.dir.empty()) {
    const platform::SystemTime now = platform::LocalNow();
    const std::string path = MailLogPath(log_.dir, now);
    const std::string reason =
        result == kResultFailure && lastTls_ != TlsFailure::kNone ? TlsFailureText(lastTls_) : "";
    if (!platform::AppendToFile(path,
                                MailLogEntry(now, result, sender_, job_.to, job_.subject,
                                             job_.smtpHost, job_.body, reason),
                                0600))
      std::cerr << "VarnPost: cannot write the mail log " << path << "\n";
  }
}

// An alert mail of the monitor (mailer "KT.Varnock", log folder "<program dir>/RelayKitLog")
// that is not sent in the end leaves a line in the monitor's daily logs, so the activity
// pane shows it; the mail log alone is easily missed.
void AlertSender::NoteNotSent(const std::string& reason) const {
  const size_t slash = log_.dir.find_last_of('/');
  const std::string folder = slash == std::string::npos ? log_.dir : log_.dir.substr(slash + 1);
  if (log_.mailer != "KT.Varnock" || folder != common::kMailLog) return;
  const std::string programDir = platform::DirName(log_.dir);
  if (!platform::IsDirectory(platform::JoinPath(programDir, common::kLog))) return;
  common::AppendEventLog(programDir, kMailNotSentCode, platform::LocalNow(), "[Mail Not Sent]",
                         reason + ": To " + job_.to + ", Subject " + job_.subject);
}

void AlertSender::Terminate(int signal) {
  if (done_) return;
  terminated_ = true;
  std::cerr << "VarnPost: ended by signal " << signal << "; the mail job is kept\n";
  NoteNotSent("the mail sender was stopped before the mail went out; its job file is kept");
  if (timer_ != 0) EventLoop::Instance().KillTimer(timer_);
  timer_ = 0;
  if (smtp_) smtp_->Abort(false);
  Log(kResultAbort);
  smtp_.reset();
  if (!composedPath_.empty()) platform::RemoveFile(composedPath_);
  composedPath_.clear();
  done_ = true;
  EventLoop::Instance().Quit();
}

void AlertSender::Complete(int result) {
  Log(result);
  smtp_.reset();
  if (!composedPath_.empty()) platform::RemoveFile(composedPath_);
  composedPath_.clear();
  if (result == kResultSuccess) {
    done_ = true;
    EventLoop::Instance().Quit();
    return;
  }
  retryCount_ = SettingRetryCount();
  pauseTicks_ = 0;
  timer_ = EventLoop::Instance().SetTimer(this, timing_.pauseMs);
}

void AlertSender::OnEvent(unsigned message, uintptr_t wParam, intptr_t lParam) {
  if (message == kMsgTerminate) {
    Terminate(static_cast<int>(wParam));
    return;
  }
  if (message == kMsgUser) {
    lastTls_ = smtp_ ? smtp_->tlsFailure() : TlsFailure::kNone;
    if (lastTls_ != TlsFailure::kNone) {
      std::cerr << "VarnPost: " << job_.smtpHost << ":" << (job_.smtpPort & 0xFFFF) << ": "
                << TlsFailureText(lastTls_) << " (" << smtp_->tlsDetail() << ")\n";
    }
    Complete(static_cast<int>(lParam));
    return;
  }
  if (message != kMsgTimer || wParam != timer_) return;
  timer_ = 0;
  if (++pauseTicks_ < kPauses) {
    timer_ = EventLoop::Instance().SetTimer(this, timing_.pauseMs);
    return;
  }
  ++attempts_;
  if (attempts_ < retryCount_) {
    StartAttempt();
    return;
  }
  std::string reason = "given up after " + std::to_string(attempts_) + " failed attempts";
  if (lastTls_ != TlsFailure::kNone) reason += std::string(" (") + TlsFailureText(lastTls_) + ")";
  NoteNotSent(reason);
  done_ = true;
  EventLoop::Instance().Quit();
}

}  // namespace mail
