// The console's web server: the page and its files, the JSON API (the routes of routes.h),
// and the checks of web_security.h in front of everything. A small fixed pool of
// event-driven threads reads requests with bounded memory and time; handlers hand every
// piece of console work to the main loop and wait for its result. Clients without the token are
// held to a time and a share of connections (ConnectionGuard), so that a crowd of slow ones never
// keeps the page out.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>

#include "console/connection_guard.h"
#include "console/routes.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace console {

// Bounds of what a client may send.
struct WebLimits {
  static constexpr size_t kLineBytes = 8 * 1024;     // request line, and each header
  static constexpr size_t kHeaders = 100;            // header fields per request
  static constexpr size_t kJsonBytes = 64 * 1024;    // body of a JSON route
  static constexpr size_t kWaveBytes = 10u << 20;    // upload of a wave file
  static constexpr size_t kImportBytes = 50u << 20;  // upload of an import file
  static constexpr unsigned kTimeoutSeconds = 10;    // an idle connection is closed
  static constexpr unsigned kConnections = 512;      // open connections at once
  // A request's line and headers arrive within this time, however slowly they trickle;
  // without the token its whole exchange, answer included, ends within it.
  static constexpr unsigned kRequestSeconds = 10;
  // Connections waiting for a request (see ConnectionGuard) of one address, and of all.
  static constexpr size_t kWaitingPerAddress = 64;
  static constexpr size_t kWaitingTotal = kConnections / 2;
  static constexpr unsigned kThreads = 4;  // the server's thread pool
  static constexpr int kUploads = 2;       // uploads read at the same time
};

// A listening TCP socket on host:port (port 0: any free port), made before anything is
// written, so that a port in use ends the console first. -1 with `error` set on failure.
int OpenListenSocket(const std::string& host, int port, std::string* error);
// The port a socket is bound to.
int BoundPort(int fd);

// What the web server is given at start; it never changes.
struct WebConfig {
  std::string programDir;  // where the files of the data routes are
  std::string token;
  std::string tlsCert;  // PEM texts; both empty for plain HTTP
  std::string tlsKey;
};

// The lines the web server library writes about dropped connections, bounded (LogError).
struct LogWindow {
  std::mutex mutex;
  std::chrono::steady_clock::time_point start;
  int written = 0;
  int leftOut = 0;
};

class WebServer {
 public:
  // `post` runs the console's part of a request on the main loop; the server touches the
  // console's state in no other way.
  WebServer(WebConfig config, PostTask post);
  ~WebServer();
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  // Serves on a socket of OpenListenSocket (the server owns it from here); requests are
  // answered on the server's own threads until Stop. False with `error` when it cannot start.
  bool Start(int listenFd, const std::string& host, std::string* error);
  int port() const { return port_; }
  // "http://127.0.0.1:PORT/#token=..." (https with TLS). The token travels in the fragment,
  // which the browser never sends; the page keeps it for its requests.
  std::string Address() const;

  void Stop();

  // One request; public for the C callback only.
  struct Request;
  int Handle(MHD_Connection* c, const char* url, const char* method, const char* uploadData,
             size_t* uploadSize, void** context);
  ConnectionGuard& guard() { return guard_; }

 private:
  int Answer(MHD_Connection* c, Request& r);

  const WebConfig config_;
  const PostTask post_;
  std::string host_;
  int port_ = 0;
  MHD_Daemon* daemon_ = nullptr;
  std::atomic<int> uploads_{0};
  LogWindow log_;
  ConnectionGuard guard_{{std::chrono::seconds(WebLimits::kRequestSeconds),
                          WebLimits::kWaitingPerAddress, WebLimits::kWaitingTotal}};
};

}  // namespace console
