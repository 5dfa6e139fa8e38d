// Finding the links of a fetched page and making them absolute, as the link check reads
// them: <base href="..."> sets the address that later relative links join, every tag
// whose name starts with "a" gives its href="..." value.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace hostcheck {

struct PageLink {
  std::string host;     // the page's host, or the host of an "http://" link (at most 149)
  std::string path;     // the path to request (at most 259 characters)
  bool secure = false;  // fetched over TLS (links of a secure page only)
  int32_t port = 0;     // 0: the page's port
};

constexpr size_t kMaxHostLength = 149;
constexpr size_t kMaxLinkPath = 259;

// The links to check, in page order. Tags are lowercased in place in `page` (ASCII letters
// only, the second bytes of Shift-JIS characters left alone, at most 520 bytes per tag), so
// links are requested as lowercased. Links that are empty, hold "(" or ")" (script calls),
// "#" or "mailto:" are left out.
//
// On a secure page (`securePage`) "https://" links are absolute too and fetched over TLS,
// "http://" links plain, and either may name a port after its host (else 443 and 80);
// every other link stays on the page's host, port and TLS.
std::vector<PageLink> FindPageLinks(std::string& page, const std::string& pageHost,
                                    bool securePage = false);

}  // namespace hostcheck
