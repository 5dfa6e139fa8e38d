#include "agents/page/page_address.h"

#include <strings.h>

#include "common/records.h"

namespace pagesentry {
namespace {

// The length of a leading "http://" or "https://" (any case), 0 without one; `https` set.
size_t SchemeLength(const std::string& text, bool* https) {
  if (strncasecmp(text.c_str(), "https://", 8) == 0) return *https = true, 8;
  if (strncasecmp(text.c_str(), "http://", 7) == 0) return *https = false, 7;
  return 0;
}

// Takes a ":port" off the host when the digits after its last colon make one.
void TakePort(PageAddress& address) {
  size_t colon = address.host.rfind(':');
  if (colon == std::string::npos || colon + 1 >= address.host.size()) return;
  long port = 0;
  for (size_t i = colon + 1; i < address.host.size(); ++i) {
    char c = address.host[i];
    if (c < '0' || c > '9' || port > 65535) return;
    port = port * 10 + (c - '0');
  }
  if (port < 1 || port > 65535) return;
  address.port = static_cast<int32_t>(port);
  address.host.resize(colon);
}

}  // namespace

PageAddress ParsePageAddress(const std::string& recordHost, const std::string& recordPath) {
  PageAddress address{recordHost, recordPath};
  bool https = false;
  if (size_t scheme = SchemeLength(recordHost, &https)) {
    // The whole URL in the host field: "https://host:port", the path in its own field.
    address.https = https;
    address.host = recordHost.substr(scheme);
    size_t slash = address.host.find('/');
    if (slash != std::string::npos) address.host.resize(slash);
  } else if ((strcasecmp(recordHost.c_str(), "https:") == 0 ||
              strcasecmp(recordHost.c_str(), "http:") == 0) &&
             recordPath.rfind("//", 0) == 0 && recordPath.size() > 2) {
    // The URL split at its first slash: host "https:", path "//host:port/rest".
    address.https = recordHost.size() == 6;
    size_t slash = recordPath.find('/', 2);
    address.host = recordPath.substr(2, slash == std::string::npos ? std::string::npos : slash - 2);
    address.path = slash == std::string::npos ? "/" : recordPath.substr(slash);
  } else {
    return address;
  }
  TakePort(address);
  if (address.path.empty()) address.path.push_back('/');
  return address;
}

PageTarget ResolvePageTarget(const PageAddress& address, const common::AccountOptionsRead& read,
                             int32_t recordPort) {
  const common::AccountOptions& o = read.options;
  PageTarget target{address.host, address.path, recordPort, o.secure || address.https};
  const bool portSet = read.fileFound &&
                       o.port != common::DefaultAccountPort(common::kHttpPage, o.secure, o.tlsMode);
  if (address.port > 0) {
    target.port = address.port;
  } else if (portSet) {
    target.port = o.port;
  } else if (target.secure) {
    target.port = 443;
  }
  return target;
}

}  // namespace pagesentry
