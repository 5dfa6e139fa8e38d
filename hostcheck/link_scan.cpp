#include "hostcheck/link_scan.h"

#include <optional>

#include "platform/codepage.h"

namespace hostcheck {
namespace {

constexpr size_t kTagWindow = 520;
constexpr size_t kMaxJoined = 259;  // a joined link stays under 260 characters

char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Lowercases the tag from its name to its end (at most 520 bytes) and returns its href
// value: the text after the first href=" up to the next double quote. Nothing when the
// tag ends first.
std::optional<std::string> HrefValue(std::string& page, size_t nameStart) {
  size_t windowEnd = std::min(page.size(), nameStart + kTagWindow);
  size_t tagEnd = windowEnd;
  for (size_t i = nameStart; i < windowEnd; ++i) {
    unsigned char c = static_cast<unsigned char>(page[i]);
    if (platform::IsSjisLeadByte(c)) {
      ++i;  // the second byte of a double-byte character is no letter
      continue;
    }
    if (c == '>') {
      tagEnd = i + 1;
      break;
    }
    page[i] = LowerAscii(page[i]);
  }
  std::string_view tag(page.data() + nameStart, tagEnd - nameStart);
  size_t href = tag.find("href=\"");
  size_t close = tag.find('>');
  if (href == std::string_view::npos || (close != std::string_view::npos && close < href)) {
    return std::nullopt;
  }
  size_t valueStart = nameStart + href + 6;
  size_t valueEnd = page.find('"', valueStart);
  if (valueEnd == std::string::npos) valueEnd = page.size();
  return page.substr(valueStart, valueEnd - valueStart);
}

bool StartsWith(const std::string& text, const char* prefix) {
  return text.rfind(prefix, 0) == 0;
}

std::string JoinBase(const std::string& base, const std::string& link) {
  std::string tail = link;
  if (!tail.empty() && tail.front() == '/') tail.erase(0, 1);
  std::string head = base;
  while (!head.empty() && head.back() == '/') head.pop_back();
  size_t room = tail.size() + 1 < kMaxJoined ? kMaxJoined - tail.size() - 1 : 0;
  if (head.size() > room) head.resize(room);
  return (head + "/" + tail).substr(0, kMaxJoined);
}

// "host:port" of a secure page's absolute link: the port taken off when it is one.
void TakePort(PageLink& link, int32_t defaultPort) {
  link.port = defaultPort;
  size_t colon = link.host.rfind(':');
  if (colon == std::string::npos || colon + 1 >= link.host.size()) return;
  int32_t port = 0;
  for (size_t i = colon + 1; i < link.host.size(); ++i) {
    char c = link.host[i];
    if (c < '0' || c > '9' || port > 65535) return;
    port = port * 10 + (c - '0');
  }
  if (port < 1 || port > 65535) return;
  link.port = port;
  link.host.resize(colon);
}

PageLink SplitAbsolute(const std::string& link, size_t schemeLength) {
  PageLink out;
  size_t slash = link.find('/', schemeLength);
  out.host = link.substr(schemeLength,
                         slash == std::string::npos ? std::string::npos : slash - schemeLength);
  if (out.host.size() > kMaxHostLength) out.host.resize(kMaxHostLength);
  out.path = slash == std::string::npos ? "" : link.substr(slash, kMaxLinkPath);
  return out;
}

// A secure page's link: absolute ones with their own scheme and port, the rest the page's.
PageLink SplitSecure(const std::string& link, const std::string& pageHost) {
  PageLink out;
  if (StartsWith(link, "https://")) {
    out = SplitAbsolute(link, 8);
    out.secure = true;
    TakePort(out, 443);
  } else if (StartsWith(link, "http://")) {
    out = SplitAbsolute(link, 7);
    TakePort(out, 80);
  } else {
    out.host = pageHost.substr(0, kMaxHostLength);
    out.path = link.substr(0, kMaxLinkPath);
    out.secure = true;
  }
  return out;
}

PageLink Split(const std::string& link, const std::string& pageHost) {
  PageLink out;
  if (StartsWith(link, "http://")) {
    size_t slash = link.find('/', 7);
    out.host = link.substr(7, slash == std::string::npos ? std::string::npos : slash - 7);
    if (out.host.size() > kMaxHostLength) out.host.resize(kMaxHostLength);
    out.path = slash == std::string::npos ? "" : link.substr(slash, kMaxLinkPath);
  } else {
    out.host = pageHost.substr(0, kMaxHostLength);
    out.path = link.substr(0, kMaxLinkPath);
  }
  return out;
}

}  // namespace

std::vector<PageLink> FindPageLinks(std::string& page, const std::string& pageHost,
                                    bool securePage) {
  // Which links are absolute: "http:" ones, and on a secure page "https:" ones as well.
  auto absolute = [securePage](const std::string& link) {
    return StartsWith(link, "http:") || (securePage && StartsWith(link, "https:"));
  };
  std::vector<PageLink> links;
  std::string base;
  for (size_t i = 0; i + 4 < page.size(); ++i) {
    if (page[i] != '<') continue;
    std::string_view name(page.data() + i + 1, 4);
    bool isBase = LowerAscii(name[0]) == 'b' && LowerAscii(name[1]) == 'a' &&
                  LowerAscii(name[2]) == 's' && LowerAscii(name[3]) == 'e';
    if (isBase) {
      base = HrefValue(page, i + 1).value_or("");
      continue;
    }
    if (name[0] != 'a' && name[0] != 'A') continue;
    std::string link = HrefValue(page, i + 1).value_or("");
    if (link.empty() || link.find_first_of("()") != std::string::npos) continue;
    if (!base.empty() && !absolute(link)) {
      link = JoinBase(base, link);
    } else if (base.empty() && !absolute(link) && !StartsWith(link, "/")) {
      link = "/" + link;
    }
    PageLink target = securePage ? SplitSecure(link, pageHost) : Split(link, pageHost);
    if (target.path.find("mailto:") != std::string::npos ||
        target.path.find('#') != std::string::npos) {
      continue;
    }
    links.push_back(std::move(target));
  }
  return links;
}

}  // namespace hostcheck
