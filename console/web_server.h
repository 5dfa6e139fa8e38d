// The console's web server: the page and its files, the JSON API, and the checks of
// web_security.h in front of everything. Handlers run on the server's threads and hand
// every piece of console work to the main loop, waiting for its result.
#pragma once

#include <memory>
#include <string>

#include "console/console_app.h"
#include "console/main_loop.h"

namespace httplib {
class Server;
}

namespace console {

class WebServer {
 public:
  WebServer(MainLoop& loop, ConsoleApp& app, std::string token);
  ~WebServer();

  // Binds to host:port (port 0: any free port). False when the address is taken.
  bool Bind(const std::string& host, int port);
  int port() const { return port_; }
  // "http://127.0.0.1:PORT/?token=..."
  std::string Address() const;

  // Serves until Stop (blocking; run it on its own thread).
  void Serve();
  void Stop();

 private:
  void Routes();

  MainLoop& loop_;
  ConsoleApp& app_;
  std::string token_;
  std::string host_;
  int port_ = 0;
  std::unique_ptr<httplib::Server> server_;
};

}  // namespace console
