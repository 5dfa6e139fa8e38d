#include "mail/one_mail.h"

#include <cerrno>

#include "mail/compose.h"
#include "mail/event_loop.h"
#include "mail/smtp.h"
#include "platform/files.h"

namespace mail {
namespace {

// Receives the dialogue's end and stops the loop.
class Waiter : public CWinsockEventCallback {
 public:
  void OnEvent(unsigned message, uintptr_t, intptr_t lParam) override {
    if (message != kMsgUser) return;
    result = static_cast<int>(lParam);
    done = true;
    EventLoop::Instance().Quit();
  }
  int result = kResultFailure;
  bool done = false;
};

OneMailOutcome OutcomeOf(const CSMTP& smtp) {
  if (smtp.tlsFailure() != TlsFailure::kNone) return OneMailOutcome::kNotSecure;
  if (smtp.timedOut()) return OneMailOutcome::kTimedOut;
  switch (smtp.failedIn()) {
    case CSMTP::kAuth:
      return OneMailOutcome::kLoginRefused;
    case CSMTP::kConnect:
    case CSMTP::kAwaitConnection:
      return smtp.lastError() == ETIMEDOUT ? OneMailOutcome::kTimedOut
                                           : OneMailOutcome::kConnectFailed;
    default:
      return OneMailOutcome::kRefused;
  }
}

}  // namespace

OneMailResult SendOneMail(const MailJob& job, const std::string& user, const std::string& password,
                          const std::string& tempDir, int64_t boundMs, const SmtpOptions& options) {
  OneMailResult out;
  ComposedMail composed;
  const ComposeStatus status = ComposeMessage(job, "KT.Varnock", tempDir, &composed);
  if (status == ComposeStatus::kNoRecipients) {
    out.outcome = OneMailOutcome::kNoRecipient;
    return out;
  }
  if (status != ComposeStatus::kComposed) {
    out.outcome = OneMailOutcome::kCannotCompose;
    return out;
  }
  Waiter waiter;
  {
    CSMTP smtp(&waiter, kMsgUser, user, password);
    smtp.SetBoundMs(boundMs);
    smtp.SetTls(options);
    const uint16_t port = SmtpPortFor(options, static_cast<uint16_t>(job.smtpPort & 0xFFFF));
    if (smtp.Start(job.smtpHost, port, composed.path, composed.sender, composed.recipients)) {
      if (!waiter.done) EventLoop::Instance().Run();
      out.error = smtp.lastError();
      out.outcome = waiter.result == kResultSuccess ? OneMailOutcome::kSent : OutcomeOf(smtp);
      if (out.outcome == OneMailOutcome::kNotSecure) {
        out.tls = smtp.tlsFailure();
        out.tlsDetail = smtp.tlsDetail();
      }
    } else {
      out.outcome = OneMailOutcome::kCannotCompose;
    }
  }
  platform::RemoveFile(composed.path);
  return out;
}

}  // namespace mail
