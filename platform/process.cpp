#include "platform/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform {
namespace {

void WriteAllIgnoringErrors(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// The argument vector for execv, made before fork: a child of a threaded process should
// not allocate.
std::vector<char*> ArgVector(const std::string& program, const std::vector<std::string>& args) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  return argv;
}

// Runs in the (grand)child: wire up the standard descriptors and exec.
[[noreturn]] void ExecChild(const char* program, char* const* argv, int stdinFd, int errorFd) {
  int devnull = ::open("/dev/null", O_RDWR);
  ::dup2(stdinFd >= 0 ? stdinFd : devnull, 0);
  ::dup2(devnull, 1);
  ::dup2(devnull, 2);
  // Close everything else except the error pipe, which closes itself on exec.
  for (int fd = 3; fd < 1024; ++fd) {
    if (fd != errorFd) ::close(fd);
  }
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  ::signal(SIGPIPE, SIG_DFL);
  ::signal(SIGCHLD, SIG_DFL);
  ::execv(program, argv);
  int err = errno;
  (void)!::write(errorFd, &err, sizeof err);
  ::_exit(127);
}

}  // namespace

bool SpawnDetached(const std::string& program, const std::vector<std::string>& args,
                   const std::optional<std::string>& stdinData) {
  int inPipe[2] = {-1, -1};
  int errPipe[2] = {-1, -1};
  if (stdinData && ::pipe2(inPipe, O_CLOEXEC) != 0) return false;
  if (::pipe2(errPipe, O_CLOEXEC) != 0) {
    if (inPipe[0] >= 0) ::close(inPipe[0]), ::close(inPipe[1]);
    return false;
  }
  std::vector<char*> argv = ArgVector(program, args);
  pid_t child = ::fork();
  if (child == 0) {
    ::setsid();
    pid_t grandchild = ::fork();
    if (grandchild != 0) ::_exit(grandchild < 0 ? 1 : 0);
    ExecChild(program.c_str(), argv.data(), inPipe[0], errPipe[1]);
  }
  if (inPipe[0] >= 0) ::close(inPipe[0]);
  ::close(errPipe[1]);
  bool started = false;
  if (child > 0) {
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    started = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (started) {
      int err = 0;
      ssize_t n;
      do {
        n = ::read(errPipe[0], &err, sizeof err);
      } while (n < 0 && errno == EINTR);
      started = (n == 0);  // end of file: the exec went through
    }
  }
  ::close(errPipe[0]);
  if (inPipe[1] >= 0) {
    if (started) {
      // The child may never read its input; never let that kill or block the caller.
      struct sigaction ignore {
      }, old{};
      ignore.sa_handler = SIG_IGN;
      ::sigaction(SIGPIPE, &ignore, &old);
      WriteAllIgnoringErrors(inPipe[1], *stdinData);
      ::sigaction(SIGPIPE, &old, nullptr);
    }
    ::close(inPipe[1]);
  }
  return started;
}

bool RunAndWait(const std::string& program, const std::vector<std::string>& args) {
  int errPipe[2] = {-1, -1};
  if (::pipe2(errPipe, O_CLOEXEC) != 0) return false;
  std::vector<char*> argv = ArgVector(program, args);
  pid_t child = ::fork();
  if (child == 0) {
    ::setsid();
    ExecChild(program.c_str(), argv.data(), -1, errPipe[1]);
  }
  ::close(errPipe[1]);
  bool started = false;
  if (child > 0) {
    int err = 0;
    ssize_t n;
    do {
      n = ::read(errPipe[0], &err, sizeof err);
    } while (n < 0 && errno == EINTR);
    started = (n == 0);  // end of file: the exec went through
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
  }
  ::close(errPipe[0]);
  return started;
}

std::string JoinArguments(int argc, char** argv, int first) {
  std::string line;
  for (int i = first; i < argc; ++i) {
    if (i > first) line += ' ';
    line += argv[i];
  }
  return line;
}

}  // namespace platform
