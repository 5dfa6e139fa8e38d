// Where a page account's page is: the host and path of its record, read as a URL when they
// spell one ("https://host:8443/path", which the URL field stores as host "https:" and path
// "//host:8443/path", or a host field holding the scheme itself), with its side file's
// options (SECURE, PORT, VERIFY, CERTDAYS).
#pragma once

#include <cstdint>
#include <string>

#include "common/account_options.h"

namespace pagesentry {

struct PageAddress {
  std::string host;
  std::string path;
  bool https = false;  // the URL says "https://"
  int32_t port = 0;    // the port the URL names, 0 when it names none
};

// Reads a record's host and path. "http://" or "https://" (any case) before the host, in
// the host field or split over both fields, is taken off, and a ":port" (1-65535) after
// the host with it. Anything else is kept as it is: a plain page keeps its host and path.
PageAddress ParsePageAddress(const std::string& recordHost, const std::string& recordPath);

// How the page is fetched.
struct PageTarget {
  std::string host;
  std::string path;
  int32_t port = 0;
  bool secure = false;
};

// The URL's port, else the side file's PORT when it differs from its default, else 443 for
// a secure page and the record's port for a plain one. Secure when SECURE=1 or the URL says
// https.
PageTarget ResolvePageTarget(const PageAddress& address, const common::AccountOptionsRead& read,
                             int32_t recordPort);

}  // namespace pagesentry
