// A server program a test starts that prints the port it listens on as its first line of
// output (the test's Python servers): started with the object, stopped with it.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace testsupport {

class AnnouncedServer {
 public:
  // `argv[0]` is the program's path. Its standard input is /dev/null, its standard error
  // goes to `errorFile` (appended) when one is given. Waits up to `timeoutMs` for the port.
  explicit AnnouncedServer(const std::vector<std::string>& argv, const std::string& errorFile = "",
                           int timeoutMs = 20000);
  ~AnnouncedServer();
  AnnouncedServer(const AnnouncedServer&) = delete;
  AnnouncedServer& operator=(const AnnouncedServer&) = delete;

  // 0 when the program did not start or said no port in time.
  int port() const { return port_; }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
};

}  // namespace testsupport
