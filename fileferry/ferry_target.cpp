#include "fileferry/ferry_target.h"

#include <arpa/inet.h>

#include <cctype>

namespace fileferry {
namespace {

bool IsHostChar(unsigned char c) {
  return std::isalnum(c) || c == '.' || c == '-' || c == '_';
}

std::optional<int> ParsePort(const std::string& text) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  int port = 0;
  for (unsigned char c : text) {
    if (!std::isdigit(c)) return std::nullopt;
    port = port * 10 + (c - '0');
  }
  if (port < 1 || port > 65535) return std::nullopt;
  return port;
}

bool IsV6Address(const std::string& text) {
  in6_addr address;
  return inet_pton(AF_INET6, text.c_str(), &address) == 1;
}

}  // namespace

std::optional<Endpoint> ParseServer(const std::string& server) {
  Endpoint e;
  if (!server.empty() && server[0] == '[') {
    size_t close = server.find(']');
    if (close == std::string::npos) return std::nullopt;
    e.host = server.substr(1, close - 1);
    if (!IsV6Address(e.host)) return std::nullopt;
    std::string rest = server.substr(close + 1);
    if (rest.empty()) return e;
    if (rest[0] != ':') return std::nullopt;
    std::optional<int> port = ParsePort(rest.substr(1));
    if (!port) return std::nullopt;
    e.port = *port;
    e.portGiven = true;
    return e;
  }
  size_t colon = server.find(':');
  if (colon != std::string::npos && server.find(':', colon + 1) != std::string::npos) {
    if (!IsV6Address(server)) return std::nullopt;
    e.host = server;
    return e;
  }
  e.host = server.substr(0, colon);
  if (e.host.empty()) return std::nullopt;
  for (unsigned char c : e.host) {
    if (!IsHostChar(c)) return std::nullopt;
  }
  if (colon != std::string::npos) {
    std::optional<int> port = ParsePort(server.substr(colon + 1));
    if (!port) return std::nullopt;
    e.port = *port;
    e.portGiven = true;
  }
  return e;
}

std::string ServerAddress(const Endpoint& endpoint, bool implicitTls) {
  const bool v6 = endpoint.host.find(':') != std::string::npos;
  return (implicitTls ? "ftps://" : "ftp://") + (v6 ? "[" + endpoint.host + "]" : endpoint.host) +
         ":" + std::to_string(endpoint.port) + "/";
}

bool IsCommandSafe(const std::string& text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) return false;
  }
  return true;
}

std::optional<std::string> EncodeRemotePath(const std::string& path) {
  if (path.empty() || path.back() == '/' || !IsCommandSafe(path)) return std::nullopt;
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (size_t i = 0; i < path.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(path[i]);
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' || (c == '/' && i > 0)) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

}  // namespace fileferry
