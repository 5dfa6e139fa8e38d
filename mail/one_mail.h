// Sending one message and waiting for the outcome: composition and the SMTP dialogue of
// the alert mail sender, run to the end in the calling thread. For programs that send a
// mail as part of their own work (the e-mail round-trip check), not through a job file.
#pragma once

#include <cstdint>
#include <string>

#include "mail/job_file.h"

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
};

struct OneMailResult {
  OneMailOutcome outcome = OneMailOutcome::kRefused;
  int error = 0;  // the last error number, when one applies
};

// Composes `job` into a message file in `tempDir` (removed afterwards) and sends it to
// job.smtpHost:job.smtpPort, logging in with `user` and `password` when both are given.
// `boundMs` bounds the lookup, each connect and each reply wait. Must not be called while
// the process's event loop runs.
OneMailResult SendOneMail(const MailJob& job, const std::string& user, const std::string& password,
                          const std::string& tempDir, int64_t boundMs);

}  // namespace mail
