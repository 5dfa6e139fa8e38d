// One e-mail account's round trip: a marked test message sent through the account's SMTP
// server, then its POP3 mailbox polled until the message comes back or the account's
// waiting time runs out. Two stages with their own words: "SMTP Send" and "POP Receive".
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "agents/framework/run_context.h"
#include "common/scan_groups.h"
#include "mail/one_mail.h"

namespace roundtrip {

inline constexpr const char* kRetryFile = common::FactsOf(common::Agent::kRoundTrip).retryFile;

// The run guard of one account: "RoundTripSentryOne<account file name>".
std::string GuardName(const std::string& accountFile);

// The turn that runs on one POP3 mailbox (host, port, user) take one after another:
// "RoundTripMailbox<16 hex digits>", a hash of the three.
std::string MailboxTurnName(const std::string& popHost, uint32_t popPort,
                            const std::string& popUser);

// What the run calls outside itself; tests replace the pauses.
struct Services {
  agents::MailServerProbes probes;
  int32_t (*retrieve)(const char* server, const char* user, const char* password,
                      const char* targetDir, const char* extension, int32_t deleteAfter,
                      int32_t logLevel, const char* logFile, int32_t port,
                      int32_t timeoutMs) = nullptr;
  // The fetch of a secure account (POP3_RetrieveAllSecure's form).
  int32_t (*retrieveSecure)(const char* server, const char* user, const char* password,
                            const char* targetDir, const char* extension, int32_t deleteAfter,
                            int32_t logLevel, const char* logFile, int32_t port, int32_t timeoutMs,
                            int32_t tlsMode, int32_t verify, const char* caFile, int32_t certDays,
                            char* errorText) = nullptr;
  std::function<void(int64_t ms)> pause;
  int64_t pollPauseMs = 10000;  // between receive attempts
  // How the test message goes to the account's SMTP server (TLS, port); unset: the plain
  // dialogue on the account record's port.
  std::function<mail::SmtpOptions(const std::string& programDir, const std::string& accountKey)>
      smtpOptions;
};

// The SMTP side of the account's side file: TLS as SECURE and TLSMODE say, the certificate
// checked as VERIFY says (with [PROGRAM] TLSCAFILE), and PORT when it names one (else 0:
// the record's port, 465 for TLS from the first byte). A plain account without a PORT gets
// the default options, the plain dialogue. The side file's problems are logged by the run.
mail::SmtpOptions AccountSmtpOptions(const std::string& programDir, const std::string& accountKey);

// "KT.Varnock POP Checking ID: YYYY/MM/DD hh:mm:ss:mmm:<pid>" (pid printed as %03ld).
std::string TestSubject(const platform::SystemTime& t, long pid);
// "KT.Varnock POP Checking SMTP: <smtp host>, POP: <pop host>".
std::string TestBody(const std::string& smtpHost, const std::string& popHost);

// The result code of a send: 1 sent; -911 login refused; -902 no connection; -906 a wait
// ran out; -920 to -925 a connection that was to be secure and is not (handshake,
// untrusted, expired, host name, STARTTLS refused); -904 anything else (refused, broken,
// nothing to send).
int32_t SendCode(const mail::OneMailResult& result);

// The receive call's negative results as the logs know them: -5 is -900, -1 is -902.
int32_t MapReceiveCode(int32_t code);

// The whole run for the parameter file at `paramPath`, which is deleted on every path.
// Returns the exit code (always 0).
int RunAccount(const std::string& paramPath, const Services& services);

}  // namespace roundtrip
