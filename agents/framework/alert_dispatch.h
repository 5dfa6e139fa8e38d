// Raising a Down or Up alert: a mail handed to the alert mail sender and LAN messages
// handed to the net-send program, to the general and the account's own recipients, with
// texts expanded from the templates. Neither program is waited for; a failure to deliver
// is not reported (the alert still counts as raised).
#pragma once

#include <optional>
#include <string>

#include "agents/framework/run_context.h"
#include "common/mail_transport.h"
#include "common/record_texts.h"

namespace agents {

enum class AlertKind { kDown, kUp };

struct Alert {
  AlertKind kind = AlertKind::kDown;
  std::string message;    // %E: failure message and error text; empty for Up
  std::string checkTime;  // %T: 14 digits
  std::string checkType;  // %C
  int slot = -1;          // the custom port slot the alert is about; -1 for other checks
  // Text added after the expanded mail body and LAN message (the accounts behind a parent);
  // empty for the alerts of a suite that holds and groups nothing.
  std::string appendix;
};

// The server an alert mail goes through, with its sign-in texts.
struct MailServerChoice {
  std::string server;
  std::string user;
  std::string password;
  uint16_t port = 25;
  common::MailSecurity security = common::MailSecurity::kNone;
};

// The primary server when it is named, answers a ping (2000 ms; any round trip counts,
// 0 ms included) and its SMTP port (25 unless `transport` names another) sends a greeting
// within 2000 ms, or, for TLS from the first byte, takes a connection; else the alternate
// server under the same test; else none. A server whose transport settings cannot be used
// is passed over.
std::optional<MailServerChoice> ChooseMailServer(const common::AlertSettings& settings,
                                                 const common::AlertAuth& auth,
                                                 const MailServerProbes& probes,
                                                 const common::AlertMailTransport& transport = {});

// 1 when a TCP connection to host:port opens within `timeoutMs`; else -901 (host cannot be
// resolved) or -902.
int32_t ConnectProbe(const char* host, int32_t port, int32_t timeoutMs);

// "<dir>/RelayKitLog,1,KT.Varnock": where and how the mail sender logs.
std::string MailLogDestination(const std::string& programDir);

// The LAN message file's text: recipient, sender "KT.Varnock2" and message, each ended by
// CR LF.
std::string LanMessageText(const std::string& recipient, const std::string& message);

// Sends the alert's mail and LAN messages; or, when the run hands its alerts to the alert
// desk (`run.queueAlerts`), queues it for the desk and notes that in `run.alertsQueued`. An
// alert that cannot be queued is logged and sent at once, so it is never lost.
void RaiseAlert(const RunContext& run, const common::AccountFile& account, const Alert& alert);

// Sends the alert's mail and LAN messages now, whatever the run's queueing.
void SendAlertNow(const RunContext& run, const common::AccountFile& account, const Alert& alert);

// Hands one composed mail to the mail sender through the chosen server: "<sentTag> <to>" is
// logged when it was handed over, "<notSentTag> <reason>: <about>" (code 10013) when not.
// True when handed over.
bool HandOverMail(const RunContext& run, const std::string& to, const std::string& subject,
                  const std::string& body, const std::string& sentTag,
                  const std::string& notSentTag, const std::string& about);

// Writes `text` to every recipient of the LAN list; a recipient it fails for is logged with
// `notSentTag`.
void SendLanText(const RunContext& run, const std::string& list, const std::string& text,
                 const std::string& notSentTag);

}  // namespace agents
