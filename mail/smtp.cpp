#include "mail/smtp.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "mail/encoders.h"

namespace mail {
namespace {

constexpr size_t kMaxReplyLine = 4096;    // bytes of one reply line, line end included
constexpr int kMaxReplyLines = 100;       // lines of one multi-line reply
constexpr size_t kMaxLogin = 64;          // characters of the user name and of the password
constexpr size_t kMaxAuthBytes = 102;     // bytes of either that go into the Base64 answer
constexpr size_t kMaxLine = 999;          // message lines of this length or more are refused
constexpr size_t kTransferBatch = 16384;  // bytes of message lines handed to one send
constexpr int kMaxAuthChallenges = 2;     // AUTH LOGIN asks for the user name and the password

constexpr const char* kStateNames[CSMTP::kStateCount] = {
    "Idle",           "Connect",       "AwaitConnection",
    "Greeting",       "EhloReply",     "StartTls",
    "TlsHandshake",   "Auth",          "Mail",
    "FirstRecipient", "NextRecipient", "Data",
    "Body",           "EndOfData",     "Quit",
    "WaitAfterQuit",  "Finish"};

bool ContainsNoCase(const std::string& text, const char* word) {
  const size_t n = std::strlen(word);
  if (text.size() < n) return false;
  for (size_t i = 0; i + n <= text.size(); ++i) {
    size_t k = 0;
    while (k < n && std::toupper(static_cast<unsigned char>(text[i + k])) ==
                        std::toupper(static_cast<unsigned char>(word[k])))
      ++k;
    if (k == n) return true;
  }
  return false;
}

bool IsReply(int event) {
  return event >= CSMTP::kEvReply1 && event <= CSMTP::kEvReply5;
}

}  // namespace

// One handler per state, in the order of State.
const CSMTP::Handler CSMTP::kHandlers[CSMTP::kStateCount] = {
    [](CSMTP* s, int e) { return s->OnIdle(e); },
    [](CSMTP* s, int e) { return s->OnConnect(e); },
    [](CSMTP* s, int e) { return s->OnAwaitConnection(e); },
    [](CSMTP* s, int e) { return s->OnGreeting(e); },
    [](CSMTP* s, int e) { return s->OnEhloReply(e); },
    [](CSMTP* s, int e) { return s->OnStartTls(e); },
    [](CSMTP* s, int e) { return s->OnTlsHandshake(e); },
    [](CSMTP* s, int e) { return s->OnAuth(e); },
    [](CSMTP* s, int e) { return s->OnMail(e); },
    [](CSMTP* s, int e) { return s->OnFirstRecipient(e); },
    [](CSMTP* s, int e) { return s->OnNextRecipient(e); },
    [](CSMTP* s, int e) { return s->OnData(e); },
    [](CSMTP* s, int e) { return s->OnBody(e); },
    [](CSMTP* s, int e) { return s->OnEndOfData(e); },
    [](CSMTP* s, int e) { return s->OnQuit(e); },
    [](CSMTP* s, int e) { return s->OnWaitAfterQuit(e); },
    [](CSMTP* s, int e) { return s->OnFinish(e); },
};

const char* CSMTP::StateName(State state) {
  return state >= 0 && state < kStateCount ? kStateNames[state] : "?";
}

CSMTP::CSMTP(CWinsockEventCallback* owner, unsigned message, const std::string& user,
             const std::string& password)
    : owner_(owner),
      message_(message),
      user_(user.substr(0, kMaxLogin)),
      password_(password.substr(0, kMaxLogin)) {}

CSMTP::~CSMTP() {
  conn_.Cancel();
  socket_.SetOwner(nullptr);
  socket_.Close();
  if (source_ != nullptr) std::fclose(source_);
}

bool CSMTP::LocalName(std::string* out) {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return false;
  std::string s(name, strnlen(name, 80));
  for (char& c : s)
    if (std::strchr(" $%&*@", c) != nullptr && c != '\0') c = '_';
  *out = s;
  return true;
}

bool CSMTP::Start(const std::string& host, uint16_t port, const std::string& messageFile,
                  const std::string& sender, const std::vector<std::string>& recipients) {
  if (state_ != kIdle || recipients.empty()) return false;
  source_ = std::fopen(messageFile.c_str(), "rb");
  if (source_ == nullptr) return false;
  host_ = host;
  port_ = port;
  sender_ = sender;
  recipients_ = recipients;
  nextRecipient_ = 0;
  partial_.clear();
  replyText_.clear();
  replyLines_ = 0;
  sendPending_ = false;
  esmtp_ = false;
  notify_ = true;
  result_ = kResultFailure;
  failedIn_ = kIdle;
  timedOut_ = false;
  tlsResult_ = 0;
  tlsFailure_ = TlsFailure::kNone;
  tlsDetail_.clear();
  SetState(kConnect);
  Drive(kEvNone);
  return true;
}

void CSMTP::Abort(bool notify) {
  notify_ = notify;
  Drive(kEvAbort);
}

void CSMTP::SetState(State next) {
  if (trace_) trace_(std::string("state ") + StateName(state_) + " -> " + StateName(next));
  state_ = next;
  ArmBound();
}

void CSMTP::ArmBound() {
  if (timer_ != 0) EventLoop::Instance().KillTimer(timer_);
  timer_ = 0;
  // The connection manager bounds the lookup and every connect itself.
  if (state_ >= kGreeting && state_ <= kWaitAfterQuit)
    timer_ = EventLoop::Instance().SetTimer(this, boundMs_);
}

void CSMTP::Fail(State next) {
  if (result_ != kResultSuccess && failedIn_ == kIdle) failedIn_ = state_;
  result_ = kResultFailure;
  SetState(next);
}

void CSMTP::Drive(int event) {
  if (state_ == kIdle || driving_) return;
  driving_ = true;
  if (event == kEvAbort) {
    result_ = kResultAbort;
    SetState(kFinish);
    event = kEvNone;
  } else if (event == kEvClosed || event == kEvTimeout) {
    // After QUIT the result is already settled; a close or silence there changes nothing.
    if (state_ != kWaitAfterQuit && state_ != kFinish) {
      result_ = kResultFailure;
      if (failedIn_ == kIdle) failedIn_ = state_;
      timedOut_ = event == kEvTimeout;
    }
    if (trace_) trace_(event == kEvClosed ? "connection closed" : "time-out");
    SetState(kFinish);
    event = kEvNone;
  }
  while (kHandlers[state_](this, event)) event = kEvNone;
  driving_ = false;
}

bool CSMTP::SendCommand(const std::string& text, const char* traceText, bool clearOk) {
  if (!clearOk && InTheClear()) {
    // Never reached by the dialogue's own steps; the guard keeps it so.
    if (trace_) trace_("refused to send over a connection that is not secure");
    TlsFailed(TlsFailure::kRefused, "the connection is not secure", kFinish);
    return false;
  }
  if (trace_) {
    std::string shown = traceText ? traceText : text;
    while (!shown.empty() && (shown.back() == '\n' || shown.back() == '\r')) shown.pop_back();
    trace_("> " + shown);
  }
  const int rc = socket_.Send(text, 0);
  if (rc == 0 || rc == kWouldBlock) return true;
  lastError_ = rc;
  Fail(kFinish);
  return false;
}

// --- state handlers: each returns true when it did something --------------------------

bool CSMTP::OnIdle(int) {
  return false;
}

bool CSMTP::OnConnect(int event) {
  if (event != kEvNone) return false;
  SetState(kAwaitConnection);
  conn_.Start(host_, port_, &socket_, this, boundMs_);
  return true;
}

void CSMTP::TlsFailed(TlsFailure failure, const std::string& detail, State next) {
  if (tlsFailure_ == TlsFailure::kNone) {
    tlsFailure_ = failure;
    tlsDetail_ = detail;
  }
  if (trace_) trace_(std::string(TlsFailureText(failure)) + ": " + detail);
  Fail(next);
}

bool CSMTP::OnAwaitConnection(int event) {
  if (event == kEvConnected) {
    if (tls_.secure && tls_.implicit) {
      const int rc = socket_.StartTls(host_, tls_);
      if (rc != 0) {
        TlsFailed(static_cast<TlsFailure>(rc), socket_.tls() ? socket_.tls()->detail() : "",
                  kFinish);
      } else {
        SetState(kTlsHandshake);
      }
      return true;
    }
    SetState(kGreeting);
    return true;
  }
  if (event == kEvConnectFailed) {
    Fail(kFinish);
    return true;
  }
  return false;
}

bool CSMTP::OnGreeting(int event) {
  if (event == kEvReply2) {
    std::string local;
    if (!LocalName(&local)) {
      lastError_ = errno;
      Fail(kFinish);
      return true;
    }
    esmtp_ = ContainsNoCase(replyText_, "ESMTP");
    if ((!user_.empty() && !password_.empty() && esmtp_) || StartTlsDue()) {
      if (SendCommand("EHLO " + local + "\r\n", nullptr, true)) SetState(kEhloReply);
    } else {
      if (SendCommand("HELO " + local + "\r\n")) SetState(kMail);
    }
    return true;
  }
  if (IsReply(event)) {  // refused greeting: no QUIT
    Fail(kFinish);
    return true;
  }
  return false;
}

bool CSMTP::OnEhloReply(int event) {
  if (event == kEvReply2) {
    if (StartTlsDue()) {
      if (SendCommand("STARTTLS\r\n", nullptr, true)) SetState(kStartTls);
      return true;
    }
    if (user_.empty() || password_.empty()) {  // secured and no login: the envelope at once
      SendMailFrom();
      return true;
    }
    authChallenges_ = 0;
    // Upper case: some servers match the mechanism name by case and refuse "login".
    if (SendCommand("AUTH LOGIN\r\n")) SetState(kAuth);
    return true;
  }
  if (IsReply(event)) {
    // A server that cannot take EHLO cannot take STARTTLS either.
    if (StartTlsDue()) {
      TlsFailed(TlsFailure::kRefused, "EHLO refused: " + replyText_.substr(0, 200), kQuit);
    } else {
      Fail(kQuit);
    }
    return true;
  }
  return false;
}

bool CSMTP::OnStartTls(int event) {
  if (event == kEvReply2) {
    // Whatever else the server sent in the clear is dropped: it must not pass for a reply
    // that came over the session.
    partial_.clear();
    const int rc = socket_.StartTls(host_, tls_);
    if (rc != 0) {
      TlsFailed(static_cast<TlsFailure>(rc), socket_.tls() ? socket_.tls()->detail() : "", kFinish);
    } else {
      SetState(kTlsHandshake);
    }
    return true;
  }
  if (IsReply(event)) {
    std::string said = replyText_.substr(0, 200);
    while (!said.empty() && said.back() == '\n') said.pop_back();
    TlsFailed(TlsFailure::kRefused, said, kQuit);
    return true;
  }
  return false;
}

bool CSMTP::OnTlsHandshake(int event) {
  if (event != kEvTlsDone) return false;
  if (tlsResult_ != 0) {
    // A failed handshake leaves nothing to say QUIT over.
    TlsFailed(static_cast<TlsFailure>(tlsResult_), socket_.tls() ? socket_.tls()->detail() : "",
              kFinish);
    return true;
  }
  if (trace_) trace_("TLS session established");
  if (tls_.implicit) {
    SetState(kGreeting);
    return true;
  }
  std::string local;
  if (!LocalName(&local)) {
    lastError_ = errno;
    Fail(kFinish);
    return true;
  }
  esmtp_ = true;
  if (SendCommand("EHLO " + local + "\r\n")) SetState(kEhloReply);
  return true;
}

bool CSMTP::SendMailFrom() {
  if (!SendCommand("MAIL FROM:<" + sender_ + ">\r\n")) return false;
  SetState(kFirstRecipient);
  return true;
}

bool CSMTP::OnAuth(int event) {
  if (event == kEvReply3) {
    // A server that keeps on challenging would have an answer queued for every challenge.
    if (++authChallenges_ > kMaxAuthChallenges) {
      if (trace_) trace_("too many login challenges");
      Fail(kQuit);
      return true;
    }
    // Each answer starts a new reply wait with its own bound.
    if (replyText_.find("VXNlcm5hbWU") != std::string::npos ||
        replyText_.find("dXNlcm5hbWU") != std::string::npos) {
      if (SendCommand(Base64Encode(std::string_view(user_).substr(0, kMaxAuthBytes)) + "\r\n",
                      "(user name)"))
        ArmBound();
    } else if (replyText_.find("UGFzc3dvcmQ") != std::string::npos ||
               replyText_.find("cGFzc3dvcmQ") != std::string::npos) {
      if (SendCommand(Base64Encode(std::string_view(password_).substr(0, kMaxAuthBytes)) + "\r\n",
                      "(password)"))
        ArmBound();
    } else if (SendCommand("RSET\r\n")) {
      SetState(kMail);
    }
    return true;
  }
  if (event == kEvReply2) {
    if (SendCommand("RSET\r\n")) SetState(kMail);
    return true;
  }
  if (IsReply(event)) {
    Fail(kQuit);
    return true;
  }
  return false;
}

bool CSMTP::OnMail(int event) {
  if (event == kEvReply2) {
    SendMailFrom();
    return true;
  }
  if (IsReply(event)) {
    Fail(kQuit);
    return true;
  }
  return false;
}

bool CSMTP::OnFirstRecipient(int event) {
  if (event == kEvReply2) {
    nextRecipient_ = 1;
    if (SendCommand("RCPT TO:<" + recipients_[0] + ">\r\n")) SetState(kNextRecipient);
    return true;
  }
  if (IsReply(event)) {
    Fail(kQuit);
    return true;
  }
  return false;
}

bool CSMTP::OnNextRecipient(int event) {
  if (event == kEvReply2) {
    if (nextRecipient_ < recipients_.size()) {
      if (SendCommand("RCPT TO:<" + recipients_[nextRecipient_++] + ">\r\n")) ArmBound();
    } else if (SendCommand("DATA\r\n")) {
      SetState(kData);
    }
    return true;
  }
  if (IsReply(event)) {  // any refused recipient ends the dialogue
    Fail(kQuit);
    return true;
  }
  return false;
}

bool CSMTP::OnData(int event) {
  if (event == kEvReply3) {
    std::rewind(source_);
    sendPending_ = false;
    SetState(kBody);
    return true;
  }
  if (IsReply(event)) {
    Fail(kQuit);
    return true;
  }
  return false;
}

bool CSMTP::OnBody(int event) {
  if (event == kEvWritable) {
    sendPending_ = false;
    ArmBound();
    TransferStep();
    return true;
  }
  if (event == kEvNone) return TransferStep();
  if (IsReply(event)) {
    Fail(kQuit);
    return true;
  }
  return false;
}

bool CSMTP::TransferStep() {
  if (sendPending_) return false;
  if (InTheClear()) {
    TlsFailed(TlsFailure::kRefused, "the connection is not secure", kFinish);
    return true;
  }
  // Lines go out in batches: one small write per line would leave most of them waiting for
  // the server's delayed acknowledgements.
  std::string batch;
  bool atEnd = false;
  char line[kMaxLine + 3];
  while (batch.size() < kTransferBatch) {
    if (std::fgets(line, sizeof line, source_) == nullptr) {
      atEnd = true;
      break;
    }
    size_t n = std::strlen(line);
    const bool ended = n > 0 && line[n - 1] == '\n';
    if (ended) --n;
    if (ended && n > 0 && line[n - 1] == '\r') --n;
    if (n >= kMaxLine || (!ended && !std::feof(source_))) {
      if (trace_) trace_("message line too long");
      Fail(kFinish);
      return true;
    }
    if (n > 0 && line[0] == '.') batch.push_back('.');  // dot stuffing
    batch.append(line, n);
    batch += "\r\n";
  }
  if (atEnd) {
    batch += ".\r\n";
    if (trace_) trace_("> .");
  }
  const int rc = socket_.Send(batch, 1);
  if (rc != 0 && rc != kWouldBlock) {
    lastError_ = rc;
    Fail(kFinish);
    return true;
  }
  if (rc == kWouldBlock) sendPending_ = true;
  if (atEnd) SetState(kEndOfData);
  return true;
}

bool CSMTP::OnEndOfData(int event) {
  if (event == kEvReply2) {
    result_ = kResultSuccess;
    SetState(kQuit);
    return true;
  }
  if (IsReply(event)) {
    Fail(kQuit);
    return true;
  }
  return false;
}

bool CSMTP::OnQuit(int event) {
  if (event != kEvNone) return false;
  const int result = result_;
  if (SendCommand("QUIT\r\n", nullptr, true)) {
    SetState(kWaitAfterQuit);
  } else {
    result_ = result;  // the message's fate is settled; a broken QUIT does not change it
  }
  return true;
}

bool CSMTP::OnWaitAfterQuit(int event) {
  if (IsReply(event)) {
    SetState(kFinish);
    return true;
  }
  return false;
}

bool CSMTP::OnFinish(int) {
  if (timer_ != 0) EventLoop::Instance().KillTimer(timer_);
  timer_ = 0;
  conn_.Cancel();
  socket_.SetOwner(nullptr);
  socket_.Close();
  if (source_ != nullptr) std::fclose(source_);
  source_ = nullptr;
  host_.clear();
  sender_.clear();
  state_ = kIdle;
  if (trace_) trace_(std::string("finished with result ") + std::to_string(result_));
  if (notify_ && owner_ != nullptr) EventLoop::Instance().Post(owner_, message_, 0, result_);
  return false;
}

// --- events from the loop, the socket and the connection manager -----------------------

void CSMTP::OnEvent(unsigned message, uintptr_t wParam, intptr_t) {
  if (message == kMsgTimer && wParam == timer_) {
    timer_ = 0;
    Drive(kEvTimeout);
  }
}

void CSMTP::ConnectDone(int code, int error) {
  if (code == CConnMgr::kConnected) {
    socket_.SetOwner(this);
    Drive(kEvConnected);
  } else {
    lastError_ = error;
    Drive(kEvConnectFailed);
  }
}

void CSMTP::StreamEvent(int event, int error, int) {
  switch (event) {
    case kStreamData:
      ReadReplies();
      return;
    case kStreamSent:
      if (error != 0) {
        lastError_ = error;
        Drive(kEvClosed);
      } else {
        Drive(kEvWritable);
      }
      return;
    case kStreamClosed:
      if (error != 0) lastError_ = error;
      Drive(kEvClosed);
      return;
    case kStreamTlsDone:
      tlsResult_ = error;
      Drive(kEvTlsDone);
      return;
    default:
      // Not expected once connected: end the dialogue rather than wait for nothing.
      Drive(kEvClosed);
      return;
  }
}

void CSMTP::ReadReplies() {
  char buffer[4096];
  // At most 64 KB per call: the rest waits for the loop's next turn, so a server that never
  // stops sending cannot keep timers and other events from their turn.
  for (int reads = 0; reads < 16; ++reads) {
    if (state_ == kIdle) return;
    const long n = socket_.Receive(buffer, sizeof buffer);
    if (n == kWouldBlock) return;
    if (n <= 0) {
      if (n < 0) lastError_ = static_cast<int>(-n);
      Drive(kEvClosed);
      return;
    }
    partial_.append(buffer, static_cast<size_t>(n));
    size_t start = 0;
    for (;;) {
      const size_t lf = partial_.find('\n', start);
      if (lf == std::string::npos) break;
      std::string line = partial_.substr(start, lf - start);
      start = lf + 1;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      const int event = TakeLine(line);
      if (malformed_) {
        malformed_ = false;
        partial_.clear();
        if (trace_) trace_("malformed reply");
        Drive(kEvClosed);
        return;
      }
      if (event != kEvNone) {
        Drive(event);
        replyText_.clear();
        replyLines_ = 0;
        if (state_ == kIdle) return;
        // After STARTTLS's reply nothing more is read in the clear.
        if (state_ == kTlsHandshake) {
          partial_.clear();
          return;
        }
      }
    }
    partial_.erase(0, start);
    if (partial_.size() > kMaxReplyLine) {
      partial_.clear();
      if (trace_) trace_("reply line too long");
      Drive(kEvClosed);
      return;
    }
  }
}

int CSMTP::TakeLine(const std::string& line) {
  if (trace_) trace_("< " + line.substr(0, 200));
  // A line whose fourth character is "-" continues the reply; any other line ends it and
  // its first character gives the class, whatever follows ("220mail ESMTP" is a greeting).
  // A line that starts with anything but "1" to "5" ends the dialogue.
  const bool wellFormed =
      !line.empty() && line.size() <= kMaxReplyLine && line[0] >= '1' && line[0] <= '5';
  if (!wellFormed || ++replyLines_ > kMaxReplyLines) {
    malformed_ = true;
    return kEvNone;
  }
  replyText_ += line;
  replyText_ += '\n';
  if (line.size() > 3 && line[3] == '-') return kEvNone;
  return kEvReply1 + (line[0] - '1');
}

}  // namespace mail
