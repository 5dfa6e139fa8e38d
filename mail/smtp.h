// CSMTP: the SMTP dialogue of one send attempt. Connects through CConnMgr, greets with
// HELO or EHLO, logs in with AUTH LOGIN when a user name and password are given and the
// server announces ESMTP, names the envelope, transfers the composed message file and
// quits. Everything runs in callbacks of the event loop; when the dialogue ends, the
// result (kResultSuccess, kResultFailure or kResultAbort) is posted to the owner as
// lParam of the owner's message, and the owner then destroys the object.
//
// Every wait is bounded: the lookup and each connect by the connection manager, every
// reply and every stalled transfer by the reply bound. A bound that runs out ends the
// dialogue with kResultFailure, as does anything malformed from the server (a reply line
// that does not start with "1" to "5", a line over 4 KB, a reply of more than 100 lines)
// and a login that is challenged more than twice. The reply class is the first character
// of a reply's last line; a line whose fourth character is "-" is a continuation.
//
// With TLS options (SetTls) the dialogue is secured: implicit TLS shakes hands right after
// the connect and then runs the plain dialogue over the session; STARTTLS always greets
// with EHLO, sends STARTTLS, shakes hands after the 2xx, discards whatever came in the
// clear and greets again with EHLO, then logs in (when a user name and password are given)
// or names the envelope at once. A connection that was to be secure and is not never
// carries AUTH, a password, the envelope or the message: a refused STARTTLS ends the
// dialogue with QUIT, a failed handshake without it, and tlsFailure() says why.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "mail/conn_mgr.h"
#include "mail/event_loop.h"
#include "mail/socket_stream.h"

namespace mail {

constexpr int kResultAbort = 0;
constexpr int kResultSuccess = 1;
constexpr int kResultFailure = 2;

constexpr int64_t kDefaultBoundMs = 60000;

class CSMTP : public CWinsockEventCallback, public StreamOwner, public ConnOwner {
 public:
  enum State {
    kIdle,
    kConnect,
    kAwaitConnection,
    kGreeting,
    kEhloReply,
    kStartTls,      // STARTTLS sent, its reply awaited
    kTlsHandshake,  // the session's handshake runs
    kAuth,
    kMail,
    kFirstRecipient,
    kNextRecipient,
    kData,
    kBody,
    kEndOfData,
    kQuit,
    kWaitAfterQuit,
    kFinish,
    kStateCount
  };

  // Events of the state machine.
  enum Event {
    kEvNone = 0,  // "go on": a handler that did something is called again with it
    kEvConnected = 1,
    kEvClosed = 2,  // connection closed or broken
    kEvReply1 = 3,  // final reply line of class 1xx .. 5xx: 3 .. 7
    kEvReply2 = 4,
    kEvReply3 = 5,
    kEvReply4 = 6,
    kEvReply5 = 7,
    kEvWritable = 8,  // the socket took the waiting line
    kEvConnectFailed = 9,
    kEvAbort = 10,
    kEvTimeout = 11,  // a bound ran out
    kEvTlsDone = 12,  // the handshake ended (its outcome in tlsResult_)
  };

  // `owner` receives `message` with the result as lParam. User name and password are cut
  // to 64 characters; when either is empty no authentication is attempted.
  CSMTP(CWinsockEventCallback* owner, unsigned message, const std::string& user,
        const std::string& password);
  ~CSMTP() override;

  // Starts the dialogue; returns at once. `messageFile` is the composed message (lines
  // ending in CR LF or LF); `recipients` must hold at least one address. False (and no
  // completion message) when the dialogue cannot start: no recipient, the file cannot be
  // opened, or a dialogue is already running.
  bool Start(const std::string& host, uint16_t port, const std::string& messageFile,
             const std::string& sender, const std::vector<std::string>& recipients);

  // Ends the dialogue with kResultAbort; the owner hears of it when `notify` is set.
  void Abort(bool notify);

  // Secures the dialogues started from now on (see above). The default is the plain one.
  void SetTls(const TlsOptions& options) { tls_ = options; }

  // Bounds each reply wait and each connect (milliseconds).
  void SetBoundMs(int64_t ms) { boundMs_ = ms; }
  // Receives a line per state change and per command (passwords masked), for debugging.
  void SetTrace(std::function<void(const std::string&)> trace) { trace_ = std::move(trace); }

  int result() const { return result_; }
  State state() const { return state_; }
  // The state the dialogue was in when it failed (kIdle while nothing failed): kAuth for a
  // refused login, kAwaitConnection for a failed connect.
  State failedIn() const { return failedIn_; }
  // Whether the failure was a bound that ran out.
  bool timedOut() const { return timedOut_; }
  int lastError() const { return lastError_; }
  // Why a connection that was to be secure was not (kNone otherwise), with the TLS
  // library's words for it.
  TlsFailure tlsFailure() const { return tlsFailure_; }
  const std::string& tlsDetail() const { return tlsDetail_; }
  static const char* StateName(State state);

  // The machine's host name with blank, "$", "%", "&", "*" and "@" replaced by "_" (at most
  // 80 bytes); nothing when the name cannot be read.
  static bool LocalName(std::string* out);

  void OnEvent(unsigned message, uintptr_t wParam, intptr_t lParam) override;
  void StreamEvent(int event, int error, int tag) override;
  void ConnectDone(int code, int error) override;

 private:
  using Handler = bool (*)(CSMTP* self, int event);
  static const Handler kHandlers[kStateCount];

  void Drive(int event);
  // The only place where the state changes.
  void SetState(State next);
  void ArmBound();
  void Fail(State next);  // result 2, then `next`
  // `clearOk`: the command may go over a connection that is to be secure but not yet
  // (EHLO, STARTTLS, QUIT); any other is refused there and ends the dialogue.
  bool SendCommand(const std::string& text, const char* traceText = nullptr, bool clearOk = false);
  // Whether the dialogue is to be secure and the connection is not (yet).
  bool InTheClear() const { return tls_.secure && !socket_.secure(); }
  bool StartTlsDue() const { return tls_.secure && !tls_.implicit && !socket_.secure(); }
  void TlsFailed(TlsFailure failure, const std::string& detail, State next);
  bool SendMailFrom();
  void ReadReplies();
  // Feeds one complete line; returns the event of a final line, or kEvNone.
  int TakeLine(const std::string& line);

  bool OnIdle(int event);
  bool OnConnect(int event);
  bool OnAwaitConnection(int event);
  bool OnGreeting(int event);
  bool OnEhloReply(int event);
  bool OnStartTls(int event);
  bool OnTlsHandshake(int event);
  bool OnAuth(int event);
  bool OnMail(int event);
  bool OnFirstRecipient(int event);
  bool OnNextRecipient(int event);
  bool OnData(int event);
  bool OnBody(int event);
  bool OnEndOfData(int event);
  bool OnQuit(int event);
  bool OnWaitAfterQuit(int event);
  bool OnFinish(int event);
  bool TransferStep();

  CWinsockEventCallback* owner_;
  unsigned message_;
  std::string user_;
  std::string password_;
  std::string host_;
  uint16_t port_ = 25;
  std::FILE* source_ = nullptr;
  std::string sender_;
  std::vector<std::string> recipients_;
  size_t nextRecipient_ = 0;
  SocketStream socket_;
  CConnMgr conn_;
  std::string partial_;    // bytes of a reply line not yet complete
  std::string replyText_;  // every line of the current reply
  int replyLines_ = 0;
  int authChallenges_ = 0;  // 334 replies to AUTH LOGIN so far
  bool malformed_ = false;
  bool sendPending_ = false;
  bool esmtp_ = false;
  bool notify_ = true;
  int lastError_ = 0;
  State state_ = kIdle;
  State failedIn_ = kIdle;
  bool timedOut_ = false;
  int result_ = kResultFailure;
  int64_t boundMs_ = kDefaultBoundMs;
  uintptr_t timer_ = 0;
  bool driving_ = false;
  std::function<void(const std::string&)> trace_;
  TlsOptions tls_;
  int tlsResult_ = 0;  // the TlsFailure of the last handshake
  TlsFailure tlsFailure_ = TlsFailure::kNone;
  std::string tlsDetail_;
};

}  // namespace mail
