#include "fileferry/ferry_call.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <optional>

#include "fileferry/ferry_target.h"

namespace fileferry {
namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void InitOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// What the callbacks of one call see and record.
struct CallState {
  int64_t timeoutMs = kDefaultTimeoutMs;
  int64_t deadlineMs = 0;  // the whole call's allowance
  int64_t deadline = 0;    // the monotonic ms by which the whole call ends
  int64_t lastSign = 0;    // last complete reply or data movement
  curl_off_t lastUp = 0, lastDown = 0;
  bool signedIn = false;
  bool stalled = false;
  bool overdue = false;
  int fd = -1;  // the local file
  int64_t written = 0;
  bool localFailure = false;
  bool capExceeded = false;
  // TLS: the handshake is due or running (from the start for implicit TLS, from the "234"
  // to AUTH TLS for explicit) until the next reply comes through it.
  bool explicitTls = false;
  bool tlsPending = false;
  CURL* curl = nullptr;
  int certDays = 0;
  bool expiryChecked = false;
  bool expiresSoon = false;
  std::string expiryText;
};

// The server certificate's end date from libcurl's certificate information, if it has one.
std::optional<int64_t> CertificateEnd(CURL* curl) {
  curl_certinfo* info = nullptr;
  if (curl_easy_getinfo(curl, CURLINFO_CERTINFO, &info) != CURLE_OK || info == nullptr ||
      info->num_of_certs < 1)
    return std::nullopt;
  static const char kKey[] = "Expire date:";
  for (curl_slist* item = info->certinfo[0]; item != nullptr; item = item->next) {
    if (std::strncmp(item->data, kKey, sizeof kKey - 1) == 0)
      return ParseCertTime(item->data + sizeof kKey - 1);
  }
  return std::nullopt;
}

// Checks the warning days once the certificate is known; false when it ends too soon.
bool ExpiryAcceptable(CallState& s) {
  if (s.certDays <= 0 || s.expiryChecked) return !s.expiresSoon;
  const std::optional<int64_t> end = CertificateEnd(s.curl);
  if (!end) return true;
  s.expiryChecked = true;
  const int64_t left = DaysLeft(static_cast<int64_t>(std::time(nullptr)), *end);
  if (left >= s.certDays) return true;
  s.expiresSoon = true;
  s.expiryText = ExpiresSoonText(*end, left);
  return false;
}

// After the sign-in, before the operation's first command: a certificate that ends too soon
// stops the call before anything is stored, fetched or deleted.
int OnPrerequest(void* user, char*, char*, int, int) {
  return ExpiryAcceptable(*static_cast<CallState*>(user)) ? CURL_PREREQFUNC_OK
                                                          : CURL_PREREQFUNC_ABORT;
}

// Every reply line of the control connection. Only the last line of a reply ("ddd "
// followed by text) counts as a sign of life, so neither an endless multi-line reply nor a
// line trickled byte by byte holds the call. 230 and 232 mean signed in.
size_t OnReplyLine(char* data, size_t size, size_t count, void* user) {
  CallState& s = *static_cast<CallState*>(user);
  const size_t n = size * count;
  if (n >= 4 && std::isdigit(static_cast<unsigned char>(data[0])) &&
      std::isdigit(static_cast<unsigned char>(data[1])) &&
      std::isdigit(static_cast<unsigned char>(data[2])) && data[3] == ' ') {
    s.lastSign = NowMs();
    const int code = (data[0] - '0') * 100 + (data[1] - '0') * 10 + (data[2] - '0');
    if (code == 230 || code == 232) s.signedIn = true;
    s.tlsPending = s.explicitTls && code == 234;
  }
  return n;
}

// Called often while data moves and about once a second while nothing happens: ends the
// call when neither a reply nor data has come for the time-out, or when the call's overall
// deadline has passed however lively the server is. This also bounds the waits for which
// libcurl keeps limits of its own (such as the reply after a transfer).
int OnProgress(void* user, curl_off_t, curl_off_t down, curl_off_t, curl_off_t up) {
  CallState& s = *static_cast<CallState*>(user);
  const int64_t now = NowMs();
  if (now >= s.deadline) {
    s.overdue = true;
    return 1;
  }
  if (down != s.lastDown || up != s.lastUp) {
    s.lastDown = down;
    s.lastUp = up;
    s.lastSign = now;
  }
  if (now - s.lastSign > s.timeoutMs) {
    s.stalled = true;
    return 1;
  }
  return 0;
}

size_t OnDownloadData(char* data, size_t size, size_t count, void* user) {
  CallState& s = *static_cast<CallState*>(user);
  const size_t n = size * count;
  if (s.written + static_cast<int64_t>(n) > kDownloadCap) {
    s.capExceeded = true;
    return 0;
  }
  size_t done = 0;
  while (done < n) {
    ssize_t w = ::write(s.fd, data + done, n - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      s.localFailure = true;
      return 0;
    }
    done += static_cast<size_t>(w);
  }
  s.written += static_cast<int64_t>(n);
  return n;
}

size_t OnUploadData(char* buffer, size_t size, size_t count, void* user) {
  CallState& s = *static_cast<CallState*>(user);
  for (;;) {
    ssize_t r = ::read(s.fd, buffer, size * count);
    if (r >= 0) return static_cast<size_t>(r);
    if (errno == EINTR) continue;
    s.localFailure = true;
    return CURL_READFUNC_ABORT;
  }
}

// The machinery's message as one line of printable text, at most 1023 bytes.
std::string Printable(std::string text) {
  if (text.size() > 1023) text.resize(1023);
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  }
  return text;
}

// A call that never got as far as a connection.
Outcome NoConnection(const std::string& text) {
  return Outcome{Ending::kBeforeSignIn, Printable(text)};
}

// One libcurl easy handle set up for a call: sign-in, mode and bounds.
class Handle {
 public:
  Handle(const CallRequest& request, const Endpoint& endpoint, CallState& state)
      : curl_(curl_easy_init()),
        state_(state),
        passive_(request.passive),
        security_(request.security) {
    if (!curl_) return;
    errorBuffer_[0] = '\0';
    const int64_t t = state.timeoutMs;
    const long seconds = static_cast<long>((t + 999) / 1000);
    base_ = ServerAddress(endpoint, request.security == Security::kImplicit);
    Set(CURLOPT_NOSIGNAL, 1L);
    Set(CURLOPT_PROTOCOLS_STR, request.security == Security::kImplicit ? "ftps" : "ftp");
    if (request.security != Security::kNone) SetUpTls(request);
    Set(CURLOPT_USERAGENT, "Gantrix/1.0");
    Set(CURLOPT_ERRORBUFFER, errorBuffer_);
    if (!request.user.empty()) {
      Set(CURLOPT_USERNAME, request.user.c_str());
      Set(CURLOPT_PASSWORD, request.password.c_str());
    }
    // Active mode listens on the address of the control connection.
    if (!request.passive) Set(CURLOPT_FTPPORT, "-");
    // The path goes to the server whole, in the one command of the operation.
    Set(CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_NOCWD));
    Set(CURLOPT_TRANSFERTEXT, 0L);
    // No SIZE before a download: a server may refuse it (550) for a file that RETR sends
    // all the same. The file is then read to the end of its data connection, within the
    // download cap.
    Set(CURLOPT_IGNORE_CONTENT_LENGTH, 1L);
    Set(CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(t));
    Set(CURLOPT_SERVER_RESPONSE_TIMEOUT, seconds);
    Set(CURLOPT_ACCEPTTIMEOUT_MS, static_cast<long>(t));
    Set(CURLOPT_LOW_SPEED_LIMIT, 1L);
    Set(CURLOPT_LOW_SPEED_TIME, seconds);
    Set(CURLOPT_HEADERFUNCTION, &OnReplyLine);
    Set(CURLOPT_HEADERDATA, &state_);
    Set(CURLOPT_NOPROGRESS, 0L);
    Set(CURLOPT_XFERINFOFUNCTION, &OnProgress);
    Set(CURLOPT_XFERINFODATA, &state_);
  }
  ~Handle() {
    if (curl_) curl_easy_cleanup(curl_);
    if (quote_) curl_slist_free_all(quote_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;

  bool ok() const { return curl_ != nullptr; }

  void SetUpTls(const CallRequest& request) {
    state_.curl = curl_;
    if (request.security == Security::kExplicit) {
      // The sign-in and every data connection protected; "AUTH TLS" first.
      Set(CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
      Set(CURLOPT_FTPSSLAUTH, static_cast<long>(CURLFTPAUTH_TLS));
      state_.explicitTls = true;
    } else {
      state_.tlsPending = true;
    }
    Set(CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    Set(CURLOPT_SSL_VERIFYPEER, request.verify ? 1L : 0L);
    Set(CURLOPT_SSL_VERIFYHOST, request.verify ? 2L : 0L);
    // The CA file takes the place of the system's bundle while the system's certificate
    // folder stays in use: together they are the system's store plus the file. A file that
    // cannot be read adds nothing (the system's bundle stays).
    if (request.verify && !request.caFile.empty() && ::access(request.caFile.c_str(), R_OK) == 0)
      Set(CURLOPT_CAINFO, request.caFile.c_str());
    if (request.certDays > 0) {
      state_.certDays = request.certDays;
      Set(CURLOPT_CERTINFO, 1L);
      Set(CURLOPT_PREREQFUNCTION, &OnPrerequest);
      Set(CURLOPT_PREREQDATA, &state_);
    }
  }
  const std::string& base() const { return base_; }

  template <typename Value>
  void Set(CURLoption option, Value value) {
    curl_easy_setopt(curl_, option, value);
  }
  void AddQuote(const std::string& command) { quote_ = curl_slist_append(quote_, command.c_str()); }

  Outcome Perform(const std::string& url) {
    Set(CURLOPT_URL, url.c_str());
    if (quote_) Set(CURLOPT_QUOTE, quote_);
    state_.lastSign = NowMs();
    // libcurl's own limit on the whole call backs up the progress callback's test.
    Set(CURLOPT_TIMEOUT_MS, static_cast<long>(std::max<int64_t>(state_.deadline - NowMs(), 1)));
    CURLcode code = curl_easy_perform(curl_);
    if (code != CURLE_OK && NowMs() >= state_.deadline) state_.overdue = true;
    Outcome out;
    out.ending = state_.overdue && code != CURLE_OK
                     ? Ending::kOverdue
                     : Classify(code, state_.signedIn, state_.localFailure, state_.stalled);
    if (security_ != Security::kNone && out.ending != Ending::kOverdue) {
      out.ending = SecureEnding(code, out.ending);
    }
    if (out.ending != Ending::kDone && out.ending != Ending::kRefused) {
      if (out.ending == Ending::kOverdue) {
        out.errorText = "The transfer passed its overall deadline of " +
                        std::to_string(state_.deadlineMs) + " ms";
      } else if (state_.stalled) {
        out.errorText = curl_easy_strerror(CURLE_OPERATION_TIMEDOUT);
      } else if (state_.capExceeded) {
        out.errorText =
            "Download stopped: the file passed " + std::to_string(kDownloadCap >> 20) + " MB";
      } else if (errorBuffer_[0] != '\0' && (!state_.signedIn || passive_)) {
        // libcurl keeps the first message of a call. Setting up the listening socket of an
        // active data connection can leave a note there that has nothing to do with a later
        // failure, so after the sign-in in active mode the result code's text is used.
        out.errorText = errorBuffer_;
      } else {
        out.errorText = curl_easy_strerror(code);
      }
      if (out.ending == Ending::kCertExpiresSoon) out.errorText = state_.expiryText;
      out.errorText = Printable(out.errorText);
      // A failed call does not wait for the server to answer its goodbye: a server that
      // stalled would hold it for another time-out.
      curl_socket_t control = CURL_SOCKET_BAD;
      if (curl_easy_getinfo(curl_, CURLINFO_ACTIVESOCKET, &control) == CURLE_OK &&
          control != CURL_SOCKET_BAD) {
        ::shutdown(control, SHUT_RDWR);
      }
    }
    return out;
  }

 private:
  // A secure call's ending: a TLS failure where libcurl reports one (or a handshake that
  // ran out of time), else `plain`.
  Ending SecureEnding(CURLcode code, Ending plain) {
    if (state_.expiresSoon) return Ending::kCertExpiresSoon;
    if (code == CURLE_OK) {
      // The certificate was not known before the operation: the verdict comes after it.
      return ExpiryAcceptable(state_) ? plain : Ending::kCertExpiresSoon;
    }
    long verifyResult = 0;
    curl_easy_getinfo(curl_, CURLINFO_SSL_VERIFYRESULT, &verifyResult);
    switch (ClassifyTls(code, verifyResult)) {
      case TlsFailure::kHandshake:
        return Ending::kTlsHandshake;
      case TlsFailure::kUntrusted:
        return Ending::kCertUntrusted;
      case TlsFailure::kExpired:
        return Ending::kCertExpired;
      case TlsFailure::kHostMismatch:
        return Ending::kCertHostMismatch;
      case TlsFailure::kRefused:
        return Ending::kTlsRefused;
      case TlsFailure::kNone:
        break;
    }
    return state_.tlsPending ? Ending::kTlsHandshake : plain;
  }

  CURL* curl_;
  CallState& state_;
  bool passive_;
  Security security_;
  curl_slist* quote_ = nullptr;
  std::string base_;
  char errorBuffer_[CURL_ERROR_SIZE];
};

// Signs in and out without an operation: the operation cannot run, and the ending says
// whether that is a refusal (the sign-in worked) or a failed connection.
Outcome SignInOnly(Handle& handle) {
  handle.Set(CURLOPT_NOBODY, 1L);
  Outcome out = handle.Perform(handle.base());
  if (out.ending == Ending::kDone) out = Outcome{Ending::kRefused, ""};
  return out;
}

class LocalFile {
 public:
  explicit LocalFile(int fd) : fd_(fd) {}
  ~LocalFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  LocalFile(const LocalFile&) = delete;
  LocalFile& operator=(const LocalFile&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

Outcome Upload(Handle& handle, CallState& state, const CallRequest& request,
               const std::optional<std::string>& remote) {
  LocalFile file(::open(request.localPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat st {};
  // Only a regular file: a FIFO or device could hold the call for ever.
  if (!remote || file.fd() < 0 || ::fstat(file.fd(), &st) != 0 || !S_ISREG(st.st_mode)) {
    return SignInOnly(handle);
  }
  ::fcntl(file.fd(), F_SETFL, 0);
  state.fd = file.fd();
  handle.Set(CURLOPT_UPLOAD, 1L);
  handle.Set(CURLOPT_READFUNCTION, &OnUploadData);
  handle.Set(CURLOPT_READDATA, &state);
  handle.Set(CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(st.st_size));
  return handle.Perform(handle.base() + *remote);
}

Outcome Download(Handle& handle, CallState& state, const CallRequest& request,
                 const std::optional<std::string>& remote) {
  if (!remote) return SignInOnly(handle);
  // The new file is made at once, so an existing one (or a link planted there) is never
  // written through; a failed download removes it again.
  LocalFile file(::open(request.localPath.c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
  if (file.fd() < 0) return SignInOnly(handle);
  state.fd = file.fd();
  handle.Set(CURLOPT_WRITEFUNCTION, &OnDownloadData);
  handle.Set(CURLOPT_WRITEDATA, &state);
  Outcome out = handle.Perform(handle.base() + *remote);
  if (out.ending != Ending::kDone) ::unlink(request.localPath.c_str());
  return out;
}

Outcome Delete(Handle& handle, const CallRequest& request) {
  if (!EncodeRemotePath(request.remotePath)) return SignInOnly(handle);
  handle.Set(CURLOPT_NOBODY, 1L);
  handle.AddQuote("DELE " + request.remotePath);
  return handle.Perform(handle.base());
}

}  // namespace

Ending Classify(int curlCode, bool signedIn, bool localFailure, bool stalled) {
  if (curlCode == CURLE_OK) return Ending::kDone;
  if (!signedIn) return Ending::kBeforeSignIn;
  if (stalled) return Ending::kAfterSignIn;
  if (localFailure) return Ending::kRefused;
  switch (curlCode) {
    // The server's negative answer to the operation's own command.
    case CURLE_UPLOAD_FAILED:
    case CURLE_REMOTE_ACCESS_DENIED:
    case CURLE_REMOTE_FILE_NOT_FOUND:
    case CURLE_REMOTE_DISK_FULL:
    case CURLE_REMOTE_FILE_EXISTS:
    case CURLE_FTP_COULDNT_RETR_FILE:
    case CURLE_QUOTE_ERROR:
      return Ending::kRefused;
    default:
      return Ending::kAfterSignIn;
  }
}

int64_t OverallDeadlineMs(int32_t timeoutMs) {
  const int64_t budget = int64_t{10} * (timeoutMs > 0 ? timeoutMs : kDefaultTimeoutMs);
  return std::min(budget, kDeadlineCapMs);
}

bool PassiveRequested() {
  const char* value = std::getenv("VARN_FTP_PASSIVE");
  return value != nullptr && std::strcmp(value, "1") == 0;
}

Outcome RunCall(const CallRequest& request) {
  std::optional<Endpoint> endpoint = ParseServer(request.server);
  if (!endpoint) return NoConnection("Bad server name: " + request.server.substr(0, 200));
  if (request.security == Security::kImplicit && !endpoint->portGiven)
    endpoint->port = kDefaultFtpsPort;
  if (!IsCommandSafe(request.user) || !IsCommandSafe(request.password)) {
    return NoConnection("The user name or password holds a control character");
  }
  InitOnce();
  CallState state;
  state.timeoutMs = request.timeoutMs > 0 ? request.timeoutMs : kDefaultTimeoutMs;
  state.deadlineMs = OverallDeadlineMs(static_cast<int32_t>(state.timeoutMs));
  state.deadline = NowMs() + state.deadlineMs;
  Handle handle(request, *endpoint, state);
  if (!handle.ok()) return NoConnection("The transfer machinery cannot start");
  const std::optional<std::string> remote = EncodeRemotePath(request.remotePath);
  switch (request.operation) {
    case Operation::kUpload:
      return Upload(handle, state, request, remote);
    case Operation::kDownload:
      return Download(handle, state, request, remote);
    case Operation::kDelete:
      return Delete(handle, request);
  }
  return NoConnection("Unknown operation");
}

}  // namespace fileferry
