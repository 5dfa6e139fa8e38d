#include "messenger.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utmpx.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/codepage.h"

namespace lanbell {
namespace {

std::string LocalHostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}

bool IsLocalComputer(const std::string& computer) {
  return computer == "localhost" || computer == "127.0.0.1" ||
         (!computer.empty() && computer == LocalHostName());
}

// The terminals ("pts/3", "tty1") of the sessions of `user`.
std::vector<std::string> TerminalsOf(const std::string& user) {
  static std::mutex utmpLock;  // the utmp reader keeps global state
  std::lock_guard<std::mutex> hold(utmpLock);
  std::vector<std::string> lines;
  const char* file = std::getenv("VARN_UTMP");
  if (file && *file && ::utmpxname(file) != 0) return lines;
  ::setutxent();
  while (const utmpx* entry = ::getutxent()) {
    if (entry->ut_type != USER_PROCESS) continue;
    std::string name(entry->ut_user, strnlen(entry->ut_user, sizeof entry->ut_user));
    std::string line(entry->ut_line, strnlen(entry->ut_line, sizeof entry->ut_line));
    if (name == user && !line.empty() && line.find("..") == std::string::npos) {
      lines.push_back(line);
    }
  }
  ::endutxent();
  if (file && *file) ::utmpxname(_PATH_UTMPX);
  return lines;
}

// 0 delivered; kAccessDenied when the terminal refuses messages; else errno-based failure.
int32_t WriteToTerminal(const std::string& line, const std::string& text) {
  const std::string path = "/dev/" + line;
  int fd = ::open(path.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno == EACCES ? kAccessDenied : kNameNotFound;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) {
    ::close(fd);
    return kNameNotFound;
  }
  if ((st.st_mode & S_IWGRP) == 0) {  // "mesg n"
    ::close(fd);
    return kAccessDenied;
  }
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  ::close(fd);
  return done == text.size() ? 0 : kAccessDenied;
}

std::string Escaped(const std::string& cp932) {
  std::string utf8 = platform::Cp932ToUtf8(cp932).value_or(cp932);
  std::string out;
  for (unsigned char c : utf8) {
    if (c < 0x20 || c == 0x7F) {
      out += '^';
      out += static_cast<char>(c == 0x7F ? '?' : c + 0x40);
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace

std::string TerminalText(const std::string& recipient, const std::string& sender,
                         const std::string& message) {
  return "\r\nMessage from " + Escaped(sender) + " to " + Escaped(recipient) + ":\r\n\r\n" +
         Escaped(message) + "\r\n";
}

int32_t MessengerSend(const std::optional<std::string>& serverName, const std::string& recipient,
                      const std::string& sender, const std::string& message) {
  if (recipient.empty()) return kInvalidParameter;
  if (serverName) {
    std::string computer = *serverName;
    if (computer.rfind("\\\\", 0) == 0) computer.erase(0, 2);
    if (!IsLocalComputer(computer)) return kBadNetPath;
  }
  std::vector<std::string> terminals = TerminalsOf(recipient);
  if (terminals.empty()) return kNameNotFound;
  const std::string text = TerminalText(recipient, sender, message);
  int32_t status = kNameNotFound;
  for (const std::string& line : terminals) {
    int32_t one = WriteToTerminal(line, text);
    if (one == 0) return 0;
    if (one == kAccessDenied) status = kAccessDenied;
  }
  return status;
}

}  // namespace lanbell
