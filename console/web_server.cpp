#include "console/web_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <optional>

#include "console/web_security.h"

namespace console {
namespace {

constexpr const char* kTokenHeader = "X-Varn-Token";
// The whole answer to a request without a valid token: where the right address is found.
constexpr const char* kNoTokenText =
    "No valid access token. Open the address that the console printed when it started; it is "
    "also kept in temp/console-address.txt of the console's program directory.\n";
constexpr const char* kPolicy = "default-src 'self'; frame-ancestors 'none'";

std::string Header(MHD_Connection* c, const char* name) {
  const char* v = MHD_lookup_connection_value(c, MHD_HEADER_KIND, name);
  return v == nullptr ? std::string() : std::string(v);
}

// The whole decoded value, also past a NUL sent as "%00": a handler refuses such a value
// instead of taking the part before it.
std::optional<std::string> Query(MHD_Connection* c, const char* name) {
  const char* v = nullptr;
  size_t size = 0;
  if (MHD_lookup_connection_value_n(c, MHD_GET_ARGUMENT_KIND, name, std::strlen(name), &v, &size) !=
          MHD_YES ||
      v == nullptr) {
    return std::nullopt;
  }
  return std::string(v, size);
}

// Counts the header fields and finds the longest.
struct HeaderScan {
  size_t count = 0;
  size_t longest = 0;
};

MHD_Result ScanHeader(void* cls, MHD_ValueKind, const char* key, const char* value) {
  auto* scan = static_cast<HeaderScan*>(cls);
  ++scan->count;
  size_t len = std::strlen(key) + (value == nullptr ? 0 : std::strlen(value)) + 2;
  scan->longest = std::max(scan->longest, len);
  return MHD_YES;
}

bool IsUploadRoute(const std::string& method, const std::string& path) {
  return method == "POST" && path == "/api/upload";
}

}  // namespace

struct WebServer::Request {
  std::string method;
  std::string path;
  size_t limit = 0;                    // largest body taken
  bool refused = false;                // answered before the body; the body is skipped
  std::atomic<int>* upload = nullptr;  // the count of uploads this one is part of
  std::string body;
  ~Request() {
    if (upload != nullptr) --*upload;
  }
};

int OpenListenSocket(const std::string& host, int port, std::string* error) {
  sockaddr_storage addr{};
  socklen_t len = 0;
  int family = AF_INET;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&addr);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&addr);
  if (::inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<uint16_t>(port));
    len = sizeof *v4;
  } else if (::inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
    family = AF_INET6;
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<uint16_t>(port));
    len = sizeof *v6;
  } else {
    *error = "cannot listen on " + host + ": not a numeric IP address";
    return -1;
  }
  int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    *error = std::string("cannot open a socket: ") + std::strerror(errno);
    return -1;
  }
  // Only lingering old connections may share the port; never a second listener.
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (family == AF_INET6) ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(fd, 128) != 0) {
    const int e = errno;
    ::close(fd);
    *error = "cannot listen on " + host + " port " + std::to_string(port) + ": " +
             (e == EADDRINUSE ? std::string("the port is in use") : std::strerror(e));
    return -1;
  }
  return fd;
}

int BoundPort(int fd) {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
  if (addr.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port);
  return ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
}

WebServer::WebServer(WebConfig config, PostTask post)
    : config_(std::move(config)), post_(std::move(post)) {}

WebServer::~WebServer() {
  Stop();
}

namespace {

MHD_Result OnRequest(void* cls, MHD_Connection* c, const char* url, const char* method, const char*,
                     const char* uploadData, size_t* uploadSize, void** context) {
  return static_cast<WebServer*>(cls)->Handle(c, url, method, uploadData, uploadSize, context) != 0
             ? MHD_YES
             : MHD_NO;
}

void OnCompleted(void* cls, MHD_Connection* c, void** context, MHD_RequestTerminationCode) {
  delete static_cast<WebServer::Request*>(*context);
  *context = nullptr;
  static_cast<WebServer*>(cls)->guard().RequestDone(c);
}

// The bytes of the client's IP address; "" when unknown.
std::string ClientAddress(MHD_Connection* c) {
  const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  if (info == nullptr || info->client_addr == nullptr) return "";
  const sockaddr* sa = info->client_addr;
  if (sa->sa_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(sa);
    return std::string(reinterpret_cast<const char*>(&v4->sin_addr), sizeof v4->sin_addr);
  }
  if (sa->sa_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(sa);
    return std::string(reinterpret_cast<const char*>(&v6->sin6_addr), sizeof v6->sin6_addr);
  }
  return "";
}

void OnConnection(void* cls, MHD_Connection* c, void**, MHD_ConnectionNotificationCode code) {
  ConnectionGuard& guard = static_cast<WebServer*>(cls)->guard();
  if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
    guard.Closed(c);
    return;
  }
  if (code != MHD_CONNECTION_NOTIFY_STARTED) return;
  const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
  if (info == nullptr) return;
  // Answers at once and in one write: a kept-alive request must not wait for the
  // acknowledgement of the previous one.
  int one = 1;
  ::setsockopt(info->connect_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (!guard.Opened(c, info->connect_fd, ClientAddress(c))) {
    ::shutdown(info->connect_fd, SHUT_RDWR);
  }
}

// Room for a duplicate of every connection's socket (ConnectionGuard) besides the
// console's own files.
void RaiseFileLimit() {
  constexpr rlim_t kWanted = 2 * WebLimits::kConnections + 512;
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur >= kWanted) return;
  files.rlim_cur = std::min<rlim_t>(kWanted, files.rlim_max);
  if (::setrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur < kWanted) {
    std::fprintf(stderr,
                 "KTVarnock: web server: only %llu files may be open; under many connections "
                 "some are refused\n",
                 static_cast<unsigned long long>(files.rlim_cur));
  }
}

// The library writes a line for each connection it drops; a crowd of clients must not
// flood the output, so at most kLogLines lines go out per kLogWindow, and the number left
// out is said when the next window begins.
constexpr int kLogLines = 20;
constexpr auto kLogWindow = std::chrono::seconds(10);

void LogError(void* cls, const char* format, va_list ap) {
  LogWindow& window = *static_cast<LogWindow*>(cls);
  std::lock_guard<std::mutex> lock(window.mutex);
  const auto now = std::chrono::steady_clock::now();
  if (now - window.start >= kLogWindow) {
    if (window.leftOut > 0) {
      std::fprintf(stderr, "KTVarnock: web server: %d more messages left out\n", window.leftOut);
    }
    window.start = now;
    window.written = 0;
    window.leftOut = 0;
  }
  if (window.written >= kLogLines) {
    ++window.leftOut;
    return;
  }
  ++window.written;
  std::fprintf(stderr, "KTVarnock: web server: ");
  std::vfprintf(stderr, format, ap);
}

}  // namespace

bool WebServer::Start(int listenFd, const std::string& host, std::string* error) {
  host_ = host;
  port_ = BoundPort(listenFd);
  unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_USE_ERROR_LOG;
  if (host.find(':') != std::string::npos) flags |= MHD_USE_IPv6;
  const bool tls = !config_.tlsCert.empty();
  if (tls) {
    if (MHD_is_feature_supported(MHD_FEATURE_TLS) != MHD_YES) {
      ::close(listenFd);
      *error = "this build of the web server library has no TLS";
      return false;
    }
    flags |= MHD_USE_TLS;
  }
  MHD_OptionItem options[] = {
      {MHD_OPTION_LISTEN_SOCKET, listenFd, nullptr},
      {MHD_OPTION_THREAD_POOL_SIZE, WebLimits::kThreads, nullptr},
      {MHD_OPTION_CONNECTION_LIMIT, WebLimits::kConnections, nullptr},
      {MHD_OPTION_CONNECTION_TIMEOUT, WebLimits::kTimeoutSeconds, nullptr},
      // Request line and headers are read into this pool; beyond it the request is refused.
      {MHD_OPTION_CONNECTION_MEMORY_LIMIT, 64 * 1024, nullptr},
      {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&OnCompleted), this},
      {MHD_OPTION_NOTIFY_CONNECTION, reinterpret_cast<intptr_t>(&OnConnection), this},
      {tls ? MHD_OPTION_HTTPS_MEM_CERT : MHD_OPTION_END, 0,
       const_cast<char*>(config_.tlsCert.c_str())},
      {tls ? MHD_OPTION_HTTPS_MEM_KEY : MHD_OPTION_END, 0,
       const_cast<char*>(config_.tlsKey.c_str())},
      {MHD_OPTION_END, 0, nullptr},
  };
  RaiseFileLimit();
  guard_.Start();
  daemon_ =
      MHD_start_daemon(flags, 0, nullptr, nullptr, &OnRequest, this, MHD_OPTION_EXTERNAL_LOGGER,
                       &LogError, &log_, MHD_OPTION_ARRAY, options, MHD_OPTION_END);
  if (daemon_ == nullptr) {
    guard_.Stop();
    ::close(listenFd);
    *error = "the web server did not start";
    return false;
  }
  return true;
}

void WebServer::Stop() {
  if (daemon_ == nullptr) return;
  // Closes the listening socket too.
  MHD_stop_daemon(daemon_);
  daemon_ = nullptr;
  guard_.Stop();
}

std::string WebServer::Address() const {
  std::string host = host_.find(':') != std::string::npos ? "[" + host_ + "]" : host_;
  return std::string(config_.tlsCert.empty() ? "http" : "https") + "://" + host + ":" +
         std::to_string(port_) + "/#token=" + config_.token;
}

namespace {

int Send(MHD_Connection* c, const Reply& reply) {
  MHD_Response* res = MHD_create_response_from_buffer(
      reply.body.size(), const_cast<char*>(reply.body.data()), MHD_RESPMEM_MUST_COPY);
  if (res == nullptr) return 0;
  MHD_add_response_header(res, "Content-Security-Policy", kPolicy);
  MHD_add_response_header(res, "X-Content-Type-Options", "nosniff");
  MHD_add_response_header(res, "Referrer-Policy", "no-referrer");
  MHD_add_response_header(res, "Content-Type", reply.type.c_str());
  if (!reply.messageKey.empty()) {
    MHD_add_response_header(res, kMessageKeyHeader, reply.messageKey.c_str());
  }
  if (!reply.cacheControl.empty()) {
    MHD_add_response_header(res, "Cache-Control", reply.cacheControl.c_str());
  }
  MHD_Result ok = MHD_queue_response(c, reply.status, res);
  MHD_destroy_response(res);
  return ok == MHD_YES ? 1 : 0;
}

// The checks made once the headers are in; a refusal is answered before any body is read.
std::optional<Reply> CheckHeaders(MHD_Connection* c, const std::string& url,
                                  const std::string& method, const std::string& host, int port,
                                  const std::string& token, size_t limit, bool tls) {
  if (url.size() > WebLimits::kLineBytes) return TextReply(MHD_HTTP_URI_TOO_LONG, "URI too long\n");
  HeaderScan scan;
  MHD_get_connection_values(c, MHD_HEADER_KIND, &ScanHeader, &scan);
  if (scan.count > WebLimits::kHeaders || scan.longest > WebLimits::kLineBytes) {
    return TextReply(MHD_HTTP_REQUEST_HEADER_FIELDS_TOO_LARGE, "Request header fields too large\n");
  }
  if (!HostAllowed(Header(c, "Host"), host, port) ||
      !FetchSiteAllowed(Header(c, "Sec-Fetch-Site"))) {
    return TextReply(MHD_HTTP_FORBIDDEN, "Forbidden\n");
  }
  const bool api = NeedsToken(url);
  if (method != "GET" && method != "HEAD" && method != "POST") {
    return TextReply(MHD_HTTP_METHOD_NOT_ALLOWED, "Method not allowed\n");
  }
  if (api) {
    // Every data and action route needs the token, and no other site may start it.
    if (!SameToken(Header(c, kTokenHeader), token))
      return TextReply(MHD_HTTP_FORBIDDEN, kNoTokenText);
    if (!OriginAllowed(Header(c, "Origin"), Header(c, "Host"), tls)) {
      return TextReply(MHD_HTTP_FORBIDDEN, "Forbidden\n");
    }
  } else if (method == "POST") {
    return TextReply(MHD_HTTP_METHOD_NOT_ALLOWED, "Method not allowed\n");
  }
  // Bodies are taken as sent: nothing is decompressed.
  const std::string encoding = Header(c, "Content-Encoding");
  if (!encoding.empty() && encoding != "identity") {
    return TextReply(MHD_HTTP_UNSUPPORTED_MEDIA_TYPE, "Content-Encoding not supported\n");
  }
  const std::string length = Header(c, "Content-Length");
  if (!length.empty()) {
    char* end = nullptr;
    errno = 0;
    unsigned long long n = std::strtoull(length.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || n > limit) {
      return TextReply(MHD_HTTP_CONTENT_TOO_LARGE, "Payload too large\n");
    }
  }
  return std::nullopt;
}

}  // namespace

int WebServer::Handle(MHD_Connection* c, const char* url, const char* method,
                      const char* uploadData, size_t* uploadSize, void** context) {
  auto* r = static_cast<Request*>(*context);
  if (r == nullptr) {
    r = new Request;
    *context = r;
    r->method = method;
    r->path = url;
    size_t limit = r->method == "POST" ? WebLimits::kJsonBytes : 0;
    if (IsUploadRoute(r->method, r->path)) {
      const auto kind = Query(c, "kind");
      limit = kind && *kind == "import" ? WebLimits::kImportBytes : WebLimits::kWaveBytes;
    }
    r->limit = limit;
    const bool tls = !config_.tlsCert.empty();
    if (auto refusal =
            CheckHeaders(c, r->path, r->method, host_, port_, config_.token, limit, tls)) {
      r->refused = true;
      return Send(c, *refusal);
    }
    // Past the checks, a data or action route carries the token.
    guard_.RequestArrived(c, NeedsToken(r->path));
    if (IsUploadRoute(r->method, r->path)) {
      // Large bodies are held in memory: only a few at a time.
      if (++uploads_ > WebLimits::kUploads) {
        --uploads_;
        r->refused = true;
        return Send(c, BusyReply());
      }
      r->upload = &uploads_;
    }
    return 1;
  }
  if (*uploadSize != 0) {
    if (r->refused) {
      *uploadSize = 0;
      return 1;
    }
    // A body sent without a length (chunked) is bounded here: beyond the limit the
    // connection is closed.
    if (r->body.size() + *uploadSize > r->limit) return 0;
    r->body.append(uploadData, *uploadSize);
    *uploadSize = 0;
    return 1;
  }
  if (r->refused) return 1;
  return Answer(c, *r);
}

int WebServer::Answer(MHD_Connection* c, Request& r) {
  RouteRequest request{r.method, r.path, [c](const char* name) { return Query(c, name); },
                       std::move(r.body)};
  return Send(c, AnswerRequest(RouteContext{config_.programDir, post_}, request));
}

}  // namespace console
