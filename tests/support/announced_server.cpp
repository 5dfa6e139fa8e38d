#include "support/announced_server.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "support/scripted_server.h"

namespace testsupport {

AnnouncedServer::AnnouncedServer(const std::vector<std::string>& argv, const std::string& errorFile,
                                 int timeoutMs) {
  if (argv.empty()) return;
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return;
  // Everything the child needs is made before fork (other threads may hold locks).
  std::vector<std::string> args = argv;
  std::vector<char*> pointers;
  for (std::string& a : args) pointers.push_back(a.data());
  pointers.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ == 0) {
    const int devnull = ::open("/dev/null", O_RDONLY);
    if (devnull >= 0) ::dup2(devnull, 0);
    ::dup2(out[1], 1);
    if (!errorFile.empty()) {
      const int err = ::open(errorFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
      if (err >= 0) ::dup2(err, 2);
    }
    ::execv(pointers[0], pointers.data());
    ::_exit(127);
  }
  ::close(out[1]);
  if (pid_ > 0) {
    std::string line;
    Connection(out[0], nullptr).ReadLine(&line, LineRead{64, timeoutMs, "\n"});
    port_ = std::atoi(line.c_str());
  }
  ::close(out[0]);
}

AnnouncedServer::~AnnouncedServer() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
}

}  // namespace testsupport
