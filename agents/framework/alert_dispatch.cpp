#include "agents/framework/alert_dispatch.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "agents/framework/agent_log.h"
#include "agents/framework/alert_queue.h"
#include "agents/framework/alert_text.h"
#include "agents/framework/mail_job.h"
#include "common/account_key.h"
#include "common/file_ops.h"
#include "common/layout.h"
#include "kanjimap/KANJIMAP.h"
#include "platform/files.h"
#include "platform/process.h"

namespace agents {
namespace {

constexpr int32_t kProbeTimeoutMs = 2000;
constexpr const char* kMailSender = "VarnPost";
constexpr const char* kNetSend = "LanBellCmd";
constexpr const char* kLanSender = "KT.Varnock2";

// Alert mail carries character set 128: its From, subject and body go out as Shift-JIS,
// whatever Japanese encoding a template was typed in.
std::string ToShiftJis(const std::string& text) {
  std::vector<char> buffer(text.begin(), text.end());
  buffer.push_back('\0');
  int32_t length = ConvertToSjis3(buffer.data(), static_cast<int32_t>(text.size()));
  if (length < 0 || static_cast<size_t>(length) > text.size()) return text;
  return std::string(buffer.data(), static_cast<size_t>(length));
}

bool ServerAnswers(const std::string& server, const common::MailServerTransport& transport,
                   const MailServerProbes& probes) {
  if (server.empty() || !probes.ping || !probes.isMailPortOpen || !transport.problem.empty())
    return false;
  // A round trip inside one millisecond measures 0: the server is reachable all the same.
  if (probes.ping(server.c_str(), kProbeTimeoutMs, 32, 1, 0) < 0) return false;
  if (transport.security == common::MailSecurity::kTls) {
    auto listening = probes.isPortListening ? probes.isPortListening : &ConnectProbe;
    return listening(server.c_str(), transport.port, kProbeTimeoutMs) == 1;
  }
  return probes.isMailPortOpen(server.c_str(), transport.port, kProbeTimeoutMs) == 1;
}

std::string AlertTag(const RunContext& run, bool mail, AlertKind kind) {
  const std::string name = run.profile.alertTagName;
  if (mail) {
    if (kind == AlertKind::kDown) return "[Down Mail Sent: " + name + "]";
    if (run.profile.upMailTag[0] != '\0') return run.profile.upMailTag;
    return "[Up Mail Send: " + name + "]";
  }
  if (kind == AlertKind::kDown) return "[Down Message Sent: " + name + "]";
  return "[Up Message Send: " + name + "]";
}

TemplateValues Values(const Alert& alert, const std::string& storedName, const std::string& host) {
  TemplateValues v;
  v.storedName = storedName;
  v.host = host;
  v.checkType = alert.checkType;
  v.checkTime = alert.checkTime;
  v.message = alert.message;
  return v;
}

void SendMail(const RunContext& run, const common::AccountFile& account, const Alert& alert,
              const TemplateValues& values) {
  const common::AccountRecord& r = account.record;
  std::string to = MailRecipients(r.mailToGlobal != 0, run.alert.toAddresses, r.mailToAccount != 0,
                                  account.mailAddresses);
  bool down = alert.kind == AlertKind::kDown;
  const bool general = r.useGlobalMailTemplates != 0;
  const std::string& subject = general ? (down ? run.alert.downSubject : run.alert.upSubject)
                                       : (down ? account.downSubject : account.upSubject);
  const std::string& body = general ? (down ? run.alert.downBody : run.alert.upBody)
                                    : (down ? account.downBody : account.upBody);
  const std::string name = run.profile.alertTagName;
  const std::string notSent =
      down ? "[Down Mail Not Sent: " + name + "]" : "[Up Mail Not Sent: " + name + "]";
  HandOverMail(run, to, ExpandTemplate(subject, values),
               ExpandTemplate(body, values) + alert.appendix, AlertTag(run, true, alert.kind),
               notSent, common::DecodeKey(std::string(values.storedName).substr(0, 64)));
}

void SendLanList(const RunContext& run, const std::string& list, const std::string& text,
                 const std::string& notSentTag) {
  auto notSent = [&](const std::string& reason, const std::string& recipient) {
    WriteFrameworkLine(run.programDir, kMailNotSentCode, notSentTag, reason + ": " + recipient);
  };
  for (const std::string& recipient : LanRecipients(list)) {
    platform::MakeDirs(run.tempDir);
    std::string path = platform::MakeTempFile(run.tempDir, "CON");
    if (path.empty()) {
      notSent("the message file could not be created", recipient);
      continue;
    }
    if (!platform::WriteFileAtomic(path, LanMessageText(recipient, text), 0600)) {
      platform::RemoveFile(path);
      notSent("the message file could not be written", recipient);
      continue;
    }
    if (!platform::SpawnDetached(platform::JoinPath(run.binDir, kNetSend), {path})) {
      platform::RemoveFile(path);
      notSent("the message sender could not be started", recipient);
    }
  }
}

void SendLanMessages(const RunContext& run, const common::AccountFile& account, const Alert& alert,
                     const TemplateValues& values) {
  const common::AccountRecord& r = account.record;
  bool down = alert.kind == AlertKind::kDown;
  const std::string& tmpl = r.useGlobalOnlineTemplates != 0
                                ? (down ? run.alert.downOnline : run.alert.upOnline)
                                : (down ? account.downOnline : account.upOnline);
  std::string text = ExpandTemplate(tmpl, values) + alert.appendix;
  const std::string tag = AlertTag(run, false, alert.kind);
  const std::string name = run.profile.alertTagName;
  const std::string notSent =
      down ? "[Down Message Not Sent: " + name + "]" : "[Up Message Not Sent: " + name + "]";
  if (r.onlineToGlobal != 0 && !run.alert.netSendAddresses.empty()) {
    SendLanList(run, run.alert.netSendAddresses, text, notSent);
    WriteFrameworkLine(run.programDir, kAlertRecordCode, tag, run.alert.netSendAddresses);
  }
  if (r.onlineToAccount != 0 && !account.netSendAddresses.empty()) {
    SendLanList(run, account.netSendAddresses, text, notSent);
    WriteFrameworkLine(run.programDir, kAlertRecordCode, tag, account.netSendAddresses);
  }
}

}  // namespace

bool HandOverMail(const RunContext& run, const std::string& to, const std::string& subject,
                  const std::string& body, const std::string& sentTag,
                  const std::string& notSentTag, const std::string& about) {
  // An alert mail that never reached the mail sender leaves a line in both daily logs, so a
  // dropped alarm is seen in the activity pane and not only as a missing mail.
  auto notSent = [&](const std::string& reason) {
    WriteFrameworkLine(run.programDir, kMailNotSentCode, notSentTag, reason + ": " + about);
  };
  const common::AlertMailTransport transport = common::ReadAlertMailTransport(run.programDir);
  std::optional<MailServerChoice> server =
      ChooseMailServer(run.alert.settings, run.auth, run.probes, transport);
  if (!server) {
    const bool none = run.alert.settings.primaryServer[0] == '\0' &&
                      run.alert.settings.alternateServer[0] == '\0';
    std::string reason = none ? "no mail server is set up" : "no mail server answered";
    for (const std::string* problem : {&transport.primary.problem, &transport.alternate.problem})
      if (!none && !problem->empty()) reason += " (Varnock.ini: " + *problem + ")";
    notSent(reason);
    return false;
  }

  mail::MailJob job;
  job.smtpHost = server->server;
  job.smtpPort = server->port;
  if (server->security != common::MailSecurity::kNone) {
    job.tls.secure = true;
    job.tls.implicit = server->security == common::MailSecurity::kTls;
    job.tls.verify = transport.verify;
    job.tls.caFile = transport.caFile;
  }
  job.to = to;
  job.charset = CharsetForLanguage(kAlertMailLanguage);
  job.from = common::FieldText(run.alert.settings.fromAddress);
  job.subject = subject;
  job.body = body;
  if (job.charset == kShiftJisCharset) {
    job.from = ToShiftJis(job.from);
    job.subject = ToShiftJis(job.subject);
    job.body = ToShiftJis(job.body);
  }
  job.logDestination = MailLogDestination(run.programDir);
  std::string jobPath = WriteMailJobFile(run.tempDir, job);
  if (jobPath.empty()) {
    notSent("the mail job file could not be written");
    return false;
  }
  // The sign-in texts travel on the sender's standard input, never on its command line,
  // where every local user could read them; their two places on the line stay empty.
  if (!platform::SpawnDetached(platform::JoinPath(run.binDir, kMailSender), {jobPath, "", ""},
                               server->user + "\n" + server->password + "\n")) {
    platform::RemoveFile(jobPath);
    notSent("the mail sender could not be started");
    return false;
  }
  WriteFrameworkLine(run.programDir, kAlertRecordCode, sentTag, to);
  return true;
}

void SendLanText(const RunContext& run, const std::string& list, const std::string& text,
                 const std::string& notSentTag) {
  SendLanList(run, list, text, notSentTag);
}

std::optional<MailServerChoice> ChooseMailServer(const common::AlertSettings& settings,
                                                 const common::AlertAuth& auth,
                                                 const MailServerProbes& probes,
                                                 const common::AlertMailTransport& transport) {
  std::string primary = common::FieldText(settings.primaryServer);
  if (ServerAnswers(primary, transport.primary, probes)) {
    return MailServerChoice{primary, common::FieldText(auth.primaryUser),
                            common::FieldText(auth.primaryPassword), transport.primary.port,
                            transport.primary.security};
  }
  std::string alternate = common::FieldText(settings.alternateServer);
  if (ServerAnswers(alternate, transport.alternate, probes)) {
    return MailServerChoice{alternate, common::FieldText(auth.alternateUser),
                            common::FieldText(auth.alternatePassword), transport.alternate.port,
                            transport.alternate.security};
  }
  return std::nullopt;
}

int32_t ConnectProbe(const char* host, int32_t port, int32_t timeoutMs) {
  if (host == nullptr || *host == '\0' || port < 1 || port > 65535) return -902;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host, std::to_string(port).c_str(), &hints, &found) != 0) return -901;
  int32_t result = -902;
  for (addrinfo* a = found; a != nullptr && result != 1; a = a->ai_next) {
    const int fd = socket(a->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) continue;
    if (connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
      result = 1;
    } else if (errno == EINPROGRESS) {
      pollfd p{fd, POLLOUT, 0};
      int error = 0;
      socklen_t len = sizeof error;
      if (poll(&p, 1, timeoutMs > 0 ? timeoutMs : 10000) == 1 &&
          getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0)
        result = 1;
    }
    close(fd);
  }
  freeaddrinfo(found);
  return result;
}

std::string MailLogDestination(const std::string& programDir) {
  return mail::LogDestinationText(platform::JoinPath(programDir, common::kMailLog), 1,
                                  "KT.Varnock");
}

std::string LanMessageText(const std::string& recipient, const std::string& message) {
  return recipient + "\r\n" + kLanSender + "\r\n" + message + "\r\n";
}

void RaiseAlert(const RunContext& run, const common::AccountFile& account, const Alert& alert) {
  if (run.queueAlerts) {
    QueuedAlert queued;
    queued.kind = alert.kind;
    queued.key = common::FieldText(account.record.key);
    queued.folder = static_cast<int>(run.profile.facts.folder);
    queued.slot = alert.slot;
    queued.tagName = run.profile.alertTagName;
    queued.upMailTag = run.profile.upMailTag;
    queued.checkType = alert.checkType;
    queued.checkTime = alert.checkTime;
    queued.message = alert.message;
    queued.queuedAt = WallSeconds();
    if (!WriteQueuedAlert(AlertQueueDir(run.programDir), queued).empty()) {
      run.alertsQueued = true;
      return;
    }
    WriteFrameworkLine(run.programDir, kMailNotSentCode, "[Alert Not Queued]",
                       "the alert queue could not be written, sent at once: " +
                           common::DecodeKey(queued.key.substr(0, 64)));
  }
  SendAlertNow(run, account, alert);
}

void SendAlertNow(const RunContext& run, const common::AccountFile& account, const Alert& alert) {
  const common::AccountRecord& r = account.record;
  std::string storedName = common::FieldText(r.key);
  std::string host = common::FieldText(r.host);
  TemplateValues values = Values(alert, storedName, host);
  if (r.mailToGlobal != 0 || r.mailToAccount != 0) SendMail(run, account, alert, values);
  if (r.onlineToGlobal != 0 || r.onlineToAccount != 0) SendLanMessages(run, account, alert, values);
}

}  // namespace agents
