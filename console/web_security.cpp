#include "console/web_security.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "platform/files.h"

namespace console {

std::string NewAccessToken() {
  unsigned char bytes[16];
  size_t got = 0;
  while (got < sizeof bytes) {
    ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
    if (n > 0) got += static_cast<size_t>(n);
  }
  std::string hex;
  char pair[3];
  for (unsigned char b : bytes) {
    std::snprintf(pair, sizeof pair, "%02x", b);
    hex += pair;
  }
  return hex;
}

namespace {

bool IsTokenText(std::string_view text) {
  if (text.size() != 32) return false;
  for (char ch : text) {
    if (!((ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f'))) return false;
  }
  return true;
}

// The token of a file that only its owner, this user, can read; "" otherwise.
std::string ReadPrivateToken(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return "";
  struct stat st {};
  char buf[64];
  ssize_t n = -1;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
      (st.st_mode & 077) == 0) {
    n = ::read(fd, buf, sizeof buf);
  }
  ::close(fd);
  if (n <= 0) return "";
  std::string_view text(buf, static_cast<size_t>(n));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  return IsTokenText(text) ? std::string(text) : "";
}

}  // namespace

std::string KeptAccessToken(const std::string& path, bool renew, bool* kept) {
  if (!renew) {
    std::string token = ReadPrivateToken(path);
    if (!token.empty()) {
      *kept = true;
      return token;
    }
  }
  std::string token = NewAccessToken();
  // A file left readable by others must not pass its permissions on to the new token.
  platform::RemoveFile(path);
  *kept = platform::WriteFileAtomic(path, token + "\n", 0600);
  return token;
}

bool SameToken(std::string_view a, std::string_view b) {
  if (a.size() != b.size() || a.empty()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

bool HostAllowed(std::string_view host, const std::string& listenHost, int port) {
  const std::string suffix = ":" + std::to_string(port);
  if (host == listenHost + suffix) return true;
  if (listenHost == "127.0.0.1" || listenHost == "::1" || listenHost == "localhost") {
    return host == "localhost" + suffix || host == "[::1]" + suffix || host == "127.0.0.1" + suffix;
  }
  return false;
}

std::string CookieValue(std::string_view header, std::string_view name) {
  size_t pos = 0;
  while (pos < header.size()) {
    size_t end = header.find(';', pos);
    if (end == std::string_view::npos) end = header.size();
    std::string_view part = header.substr(pos, end - pos);
    while (!part.empty() && part.front() == ' ') part.remove_prefix(1);
    if (part.size() > name.size() && part.substr(0, name.size()) == name &&
        part[name.size()] == '=') {
      return std::string(part.substr(name.size() + 1));
    }
    pos = end + 1;
  }
  return "";
}

bool OriginAllowed(std::string_view origin, std::string_view host, bool tls) {
  if (origin.empty()) return true;
  return origin == (tls ? "https://" : "http://") + std::string(host);
}

bool FetchSiteAllowed(std::string_view site) {
  return site.empty() || site == "same-origin" || site == "none";
}

bool IsLoopbackAddress(const std::string& host) {
  in_addr v4{};
  if (::inet_pton(AF_INET, host.c_str(), &v4) == 1) {
    return (ntohl(v4.s_addr) >> 24) == 127;
  }
  in6_addr v6{};
  return ::inet_pton(AF_INET6, host.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

nlohmann::json ParsePageJson(std::string_view text) {
  int depth = 0;
  bool inString = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char ch = text[i];
    if (inString) {
      if (ch == '\\') {
        ++i;
      } else if (ch == '"') {
        inString = false;
      }
    } else if (ch == '"') {
      inString = true;
    } else if (ch == '[' || ch == '{') {
      if (++depth > kJsonDepthLimit) return nlohmann::json(nlohmann::json::value_t::discarded);
    } else if (ch == ']' || ch == '}') {
      --depth;
    }
  }
  return nlohmann::json::parse(text, nullptr, false);
}

}  // namespace console
