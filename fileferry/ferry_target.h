// Where a transfer goes: the server text split into host and port, the remote path made
// into the path of an ftp:// address, and the tests that keep control characters out of
// everything that ends up in an FTP command.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace fileferry {

constexpr int kDefaultFtpPort = 21;

struct Endpoint {
  std::string host;  // a name, an IPv4 address, or an IPv6 address without brackets
  int port = kDefaultFtpPort;
  bool portGiven = false;  // the server text named the port
};

// "host", "host:port", "[v6]" or "[v6]:port"; a text with more than one colon and no
// brackets is an IPv6 address on port 21. Nothing when the text is empty, holds a
// character that has no place in a host name or address, or names a port outside 1-65535.
std::optional<Endpoint> ParseServer(const std::string& server);

// "ftp://host:port/" with IPv6 addresses in brackets; "ftps://..." with `implicitTls`.
std::string ServerAddress(const Endpoint& endpoint, bool implicitTls = false);

// True when the text holds no control character (below 0x20, or 0x7F): such a text is
// safe inside an FTP command line.
bool IsCommandSafe(const std::string& text);

// The remote path as the path part of an ftp:// address, every byte outside the
// unreserved set percent-encoded except the "/" between parts; a leading "/" is encoded, so
// the server gets the path exactly as written. Nothing for an empty path, one that ends in
// "/" (no file name) or one that is not command-safe.
std::optional<std::string> EncodeRemotePath(const std::string& path);

}  // namespace fileferry
