// The alert mail sender: one mail job, sent with retries, logged in the mail log.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "mail/event_loop.h"
#include "mail/job_file.h"
#include "mail/smtp.h"
#include "platform/clock.h"

namespace mail {

// "<dir>/RELAYKIT3.INI", dir being $VARNPOST_ETC_DIR when set, else /etc.
std::string SenderSettingsPath();

// Keys of section PROGRAM of the sender's settings file.
std::string SettingTempDir();
std::string SettingMailer();  // "RELAYKIT3 1.1" when the key is empty or missing
long SettingLogLevel();       // 1 when missing
long SettingRetryCount();     // 5 when missing

struct CommandLine {
  std::string jobPath;
  std::string user;      // at most 64 characters
  std::string password;  // at most 64 characters
};

// The text after the program's name, split at blanks: the job file path up to the first
// blank, the user name up to the second, the password after it. Without a second blank
// user name and password are empty.
CommandLine ParseCommandLine(const std::string& text);

// Reads "user\npassword\n" from `fd` up to its end (a terminal gives nothing). Lines may
// end in CR LF; each value is cut to 64 characters. Gives up after `waitMs` without input.
void ReadLogin(int fd, std::string* user, std::string* password, int waitMs = 10000);

struct LogDestination {
  std::string dir;
  std::optional<long> level;  // unset with fewer than two commas
  std::string mailer;
};

// "<dir>,<level>,<mailer>": at every comma after the first, the text since the previous
// comma becomes the level and the text after it the mailer name (at most 259 characters).
LogDestination ParseLogDestination(const std::string& text);

// "<dir>/YYYYMMWW.log", WW being day / 7 + 1.
std::string MailLogPath(const std::string& dir, const platform::SystemTime& t);

// One entry of the mail log for `result` (kResultSuccess, kResultFailure, kResultAbort).
// CR and LF in the fields of its first line become blanks; the description (the body)
// keeps its lines. A `reason` (a failure of TLS, for a job that asked for it) follows the
// result word in brackets: "Error:RESULT_FAILURE (server refused STARTTLS)]".
std::string MailLogEntry(const platform::SystemTime& t, int result, const std::string& sender,
                         const std::string& to, const std::string& subject,
                         const std::string& smtpHost, const std::string& body,
                         const std::string& reason = "");

// Whether an entry for `result` is written at `level`: 0 never, 1 failures and aborts
// only, anything else every attempt.
bool LogLevelWrites(long level, int result);

// Bounds and pauses; the defaults are the product's, tests shorten them.
struct SenderTiming {
  int64_t boundMs = kDefaultBoundMs;      // each connect and reply wait
  int64_t pauseMs = 30000;                // each of the ten pauses after a failed attempt
  static SenderTiming FromEnvironment();  // VARNPOST_TEST_BOUND_MS, VARNPOST_TEST_PAUSE_MS
};

// Sends the job: attempts until one succeeds or RETRYCOUNT attempts were made, each
// failed attempt followed by a pause of ten times pauseMs; every attempt is logged by the
// log level. The loop stays free during the pauses.
//
// SIGTERM or SIGINT (a shut-down) ends the sender at once: a running attempt is aborted,
// an aborted entry goes to the mail log (by the log level, like any aborted attempt) and
// terminated() tells the caller to keep the job, which has not been dealt with.
class AlertSender : public CWinsockEventCallback {
 public:
  AlertSender(MailJob job, std::string user, std::string password, SenderTiming timing);
  ~AlertSender() override;

  // Runs the whole cycle in the event loop; returns when the sender is done.
  void Run();
  int attempts() const { return attempts_; }
  // Whether some attempt composed the message (and so took its attachments in).
  bool composed() const { return composed_; }
  // Whether a termination signal ended the sender before it was done.
  bool terminated() const { return terminated_; }

  void OnEvent(unsigned message, uintptr_t wParam, intptr_t lParam) override;

 private:
  void StartAttempt();
  void Complete(int result);
  void Log(int result);
  void Terminate(int signal);
  void NoteNotSent(const std::string& reason) const;

  // The monitor's daily log code of an alert mail that was not sent.
  static constexpr long kMailNotSentCode = 10013;

  MailJob job_;
  TlsFailure lastTls_ = TlsFailure::kNone;  // why the last attempt was not secure
  std::string user_;
  std::string password_;
  SenderTiming timing_;
  LogDestination log_;
  std::string sender_;
  std::string composedPath_;
  std::unique_ptr<CSMTP> smtp_;
  int attempts_ = 0;
  int pauseTicks_ = 0;
  long retryCount_ = 5;
  uintptr_t timer_ = 0;
  bool done_ = false;
  bool composed_ = false;
  bool terminated_ = false;
};

}  // namespace mail
