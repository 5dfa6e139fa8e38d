// Sending one message and waiting for the outcome: composition and the SMTP dialogue of
// the alert mail sender, run to the end in the calling thread. For programs that send a
// mail as part of their own work (the e-mail round-trip check), not through a job file.
#pragma once

#include <cstdint>
#include <string>

#include "mail/job_file.h"
#include "mail/tls.h"

namespace mail {

enum class OneMailOutcome {
  kSent,
  kNoRecipient,    // the job names no recipient
  kCannotCompose,  // the message file could not be written
  kConnectFailed,  // the server could not be reached
  kTimedOut,       // a connect or reply wait ran out
  kLoginRefused,   // AUTH LOGIN was refused
  kRefused,        // the server refused the greeting, sender, recipients or message, or
                   // broke the connection
  kNotSecure,      // the connection was to be secure and is not (`tls` says why)
};

struct OneMailResult {
  OneMailOutcome outcome = OneMailOutcome::kRefused;
  int error = 0;  // the last error number, when one applies
  TlsFailure tls = TlsFailure::kNone;
  std::string tlsDetail;  // the TLS library's words for `tls`
};

// Composes `job` into a message file in `tempDir` (removed afterwards) and sends it to
// job.smtpHost:job.smtpPort, logging in with `user` and `password` when both are given.
// `boundMs` bounds the lookup, each connect, each reply wait and the TLS handshake.
// `options` secure the dialogue (their port, when set, replaces job.smtpPort; implicit TLS
// without one goes to 465); the default is the plain dialogue. Must not be called while the
// process's event loop runs.
OneMailResult SendOneMail(const MailJob& job, const std::string& user, const std::string& password,
                          const std::string& tempDir, int64_t boundMs,
                          const SmtpOptions& options = {});

}  // namespace mail
