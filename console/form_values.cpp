#include "console/form_values.h"

#include <arpa/inet.h>

#include <cctype>

#include "platform/codepage.h"

namespace console {
namespace {

bool IsJoiner(char c) {
  return c == '.' || c == '_' || c == '-';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// The address of one item: the text in angle brackets when there are some, else the item
// without its parenthesised comments.
std::string AddressOfItem(std::string_view item) {
  size_t open = item.find('<');
  if (open != std::string_view::npos) {
    size_t close = item.find('>', open);
    if (close == std::string_view::npos) return std::string(item);  // fails the character test
    return std::string(Trim(item.substr(open + 1, close - open - 1)));
  }
  std::string out;
  int depth = 0;
  for (char c : item) {
    if (c == '(') {
      ++depth;
    } else if (c == ')' && depth > 0) {
      --depth;
    } else if (depth == 0) {
      out += c;
    }
  }
  return std::string(Trim(out));
}

}  // namespace

bool AddressValid(std::string_view a) {
  if (a.size() < 3 || a.front() == '@') return false;
  char last = a.back();
  if (last == '.' || last == '_' || last == '@' || last == '-') return false;
  int ats = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(a[i]);
    if (c == '@') {
      ++ats;
    } else if (!std::isalnum(c) && !IsJoiner(a[i])) {
      return false;
    }
    if (i > 0 && IsJoiner(a[i]) && IsJoiner(a[i - 1])) return false;
  }
  return ats == 1;
}

bool AddressListValid(std::string_view text) {
  std::vector<std::string_view> items;
  size_t start = 0;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == '\n' || text[i] == ',') {
      std::string_view item = text.substr(start, i - start);
      if (!item.empty() && item.back() == '\r') item.remove_suffix(1);
      items.push_back(item);
      start = i + 1;
    }
  }
  if (!items.empty() && items.back().size() < 3) items.pop_back();
  for (std::string_view raw : items) {
    std::string_view item = Trim(raw);
    if (item.empty()) continue;  // trailing commas and blank lines
    if (item.front() == '@' || item.back() == '@' || item.back() == '.') return false;
    if (!AddressValid(AddressOfItem(item))) return false;
  }
  return true;
}

bool HostNameValid(std::string_view name) {
  if (name.empty() || name.front() == '.') return false;
  bool dot = false;
  for (size_t i = 0; i < name.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    if (!std::isalnum(c) && !IsJoiner(name[i])) return false;
    if (i > 0 && IsJoiner(name[i]) && IsJoiner(name[i - 1])) return false;
    dot = dot || c == '.';
  }
  return dot;
}

namespace {

bool Ipv4Valid(std::string_view s) {
  int parts = 0;
  size_t start = 0;
  for (size_t i = 0; i <= s.size(); ++i) {
    if (i < s.size() && s[i] != '.') continue;
    std::string_view part = s.substr(start, i - start);
    if (part.empty() || part.size() > 3 || DecimalOf(part, 3) > 255) return false;
    ++parts;
    start = i + 1;
  }
  return parts == 4;
}

bool NameValid(std::string_view s) {
  if (!s.empty() && s.back() == '.') s.remove_suffix(1);  // an absolute name
  if (s.empty()) return false;
  size_t start = 0;
  for (size_t i = 0; i <= s.size(); ++i) {
    if (i < s.size() && s[i] != '.') {
      unsigned char c = static_cast<unsigned char>(s[i]);
      if (!std::isalnum(c) && c != '-' && c != '_') return false;
      continue;
    }
    std::string_view label = s.substr(start, i - start);
    if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-') {
      return false;
    }
    start = i + 1;
  }
  return true;
}

bool Ipv6Valid(std::string_view s) {
  in6_addr address;
  return inet_pton(AF_INET6, std::string(s).c_str(), &address) == 1;
}

// A name or an IPv4 address: a text of only digits and dots must be an IPv4 address.
bool PlainHostValid(std::string_view s) {
  if (s.find_first_not_of("0123456789.") == std::string_view::npos) return Ipv4Valid(s);
  return NameValid(s);
}

bool PortValid(std::string_view s) {
  return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos &&
         DecimalIn(s, 1, 65535).valid();
}

}  // namespace

HostVerdict CheckHost(std::string_view host) {
  for (char c : host) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u >= 0x7f) return HostVerdict::kBadHost;
  }
  std::string_view name = host;
  std::string_view port;
  bool hasPort = false;
  if (!host.empty() && host.front() == '[') {
    size_t close = host.find(']');
    if (close == std::string_view::npos || !Ipv6Valid(host.substr(1, close - 1))) {
      return HostVerdict::kBadHost;
    }
    std::string_view rest = host.substr(close + 1);
    if (rest.empty()) return HostVerdict::kValid;
    if (rest.front() != ':') return HostVerdict::kBadHost;
    return PortValid(rest.substr(1)) ? HostVerdict::kValid : HostVerdict::kBadPort;
  }
  const size_t colon = host.find(':');
  if (colon != std::string_view::npos && host.find(':', colon + 1) != std::string_view::npos) {
    return Ipv6Valid(host) ? HostVerdict::kValid : HostVerdict::kBadHost;
  }
  if (colon != std::string_view::npos) {
    name = host.substr(0, colon);
    port = host.substr(colon + 1);
    hasPort = true;
  }
  if (!PlainHostValid(name)) return HostVerdict::kBadHost;
  if (hasPort && !PortValid(port)) return HostVerdict::kBadPort;
  return HostVerdict::kValid;
}

bool HasControlByte(std::string_view text) {
  for (char c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) return true;
  }
  return false;
}

bool ListControlsValid(std::string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char u = static_cast<unsigned char>(text[i]);
    if (u == '\n' || u == '\t') continue;
    if (u == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    if (u < 0x20 || u == 0x7f) return false;
  }
  return true;
}

bool OnlyBlanks(std::string_view text) {
  if (text.empty()) return false;
  for (size_t i = 0; i < text.size();) {
    if (text[i] == ' ' || text[i] == '\t') {
      ++i;
    } else if (text.compare(i, 2, "\x81\x40") == 0) {
      i += 2;
    } else {
      return false;
    }
  }
  return true;
}

CheckedNumber NumberIn(const nlohmann::json& value, long long lo, long long hi) {
  CheckedNumber n;
  if (value.is_null() || value.is_discarded()) return n;
  n.status = CheckedNumber::kRefused;
  if (value.is_number_unsigned()) {
    const uint64_t v = value.get<uint64_t>();
    if (hi >= 0 && v <= static_cast<uint64_t>(hi) && static_cast<long long>(v) >= lo) {
      n = {CheckedNumber::kValid, static_cast<long long>(v)};
    }
  } else if (value.is_number_integer()) {
    const int64_t v = value.get<int64_t>();
    if (v >= lo && v <= hi) n = {CheckedNumber::kValid, v};
  }
  return n;
}

CheckedNumber NumberAt(const nlohmann::json& object, const char* key, long long lo, long long hi) {
  if (!object.is_object()) return {};
  auto it = object.find(key);
  return it == object.end() ? CheckedNumber{} : NumberIn(*it, lo, hi);
}

CheckedNumber DecimalIn(std::string_view text, long long lo, long long hi) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  if (text.empty()) return {};
  CheckedNumber refused{CheckedNumber::kRefused, 0};
  bool negative = false;
  if (text.front() == '-' || text.front() == '+') {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty() || text.size() > 18 ||
      text.find_first_not_of("0123456789") != std::string_view::npos) {
    return refused;
  }
  long long v = 0;
  for (char c : text) v = v * 10 + (c - '0');
  if (negative) v = -v;
  if (v < lo || v > hi) return refused;
  return {CheckedNumber::kValid, v};
}

PageUrl SplitPageUrl(std::string_view url) {
  PageUrl out;
  auto opens = [&url](std::string_view prefix) {
    if (url.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
      if (std::tolower(static_cast<unsigned char>(url[i])) != prefix[i]) return false;
    }
    return true;
  };
  if (opens("https://") || opens("http://")) {
    out.scheme = true;
    out.https = opens("https://");
    url.remove_prefix(out.https ? 8 : 7);
    const size_t end = url.find_first_of("/\\");
    const std::string_view host = url.substr(0, end);
    const size_t close = host.rfind(']');
    const size_t colon = host.rfind(':');
    const bool onePort = colon != std::string_view::npos &&
                         (host.front() == '[' ? close != std::string_view::npos && colon > close
                                              : host.find(':') == colon);
    if (onePort && PortValid(host.substr(colon + 1))) {
      out.port = DecimalOf(host.substr(colon + 1));
      PageUrl rest =
          SplitPageUrl(std::string(host.substr(0, colon)) +
                       std::string(end == std::string_view::npos ? "" : url.substr(end)));
      rest.scheme = true;
      rest.https = out.https;
      rest.port = out.port;
      return rest;
    }
  }
  size_t sep = url.find_first_of("/\\");
  if (sep == std::string_view::npos) {
    out.host = CutCp932(std::string(url), 64);
    out.path = "/";
    return out;
  }
  out.host = CutCp932(std::string(url.substr(0, sep)), 64);
  out.path = "/" + CutCp932(std::string(url.substr(sep + 1)), 254);
  return out;
}

bool HasHighByte(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) > 0x80) return true;
  }
  return false;
}

int ListValue(int position) {
  if (position < 0) position = 0;
  if (position >= kListValues) position = kListValues - 1;
  return position < 5 ? position + 1 : (position + 1) * 5 - 20;
}

int ListPosition(int value) {
  for (int p = 0; p < kListValues; ++p) {
    if (ListValue(p) == value) return p;
  }
  return 4;
}

long DecimalOf(std::string_view text, int digits) {
  long v = 0;
  for (int i = 0; i < static_cast<int>(text.size()) && i < digits; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) break;
    v = v * 10 + (text[i] - '0');
  }
  return v;
}

std::string FormReader::Convert(const nlohmann::json& value, size_t limit, const char* labelKey) {
  if (!value.is_string()) {
    if (failedLabel_.empty() && !value.is_null()) failedLabel_ = labelKey;
    return "";
  }
  const std::string& utf8 = value.get_ref<const std::string&>();
  // Nothing longer than a few times the limit is worth converting.
  if (utf8.size() > limit * 4 + 16) {
    if (failedLabel_.empty()) failedLabel_ = labelKey;
    return "";
  }
  std::optional<std::string> cp932 = platform::Utf8ToCp932(utf8);
  if (!cp932) {
    if (failedLabel_.empty()) failedLabel_ = labelKey;
    return "";
  }
  return CutCp932(std::move(*cp932), limit);
}

std::string FormReader::Text(const char* key, size_t limit, const char* labelKey) {
  auto it = body_.find(key);
  if (it == body_.end()) return "";
  return Convert(*it, limit, labelKey);
}

std::optional<std::string> FormReader::Password(const char* key, size_t limit,
                                                const char* labelKey) {
  auto it = body_.find(key);
  if (it == body_.end() || it->is_null()) return std::nullopt;
  return Convert(*it, limit, labelKey);
}

bool FormReader::Flag(const char* key, bool fallback) const {
  auto it = body_.find(key);
  if (it == body_.end()) return fallback;
  if (it->is_boolean()) return it->get<bool>();
  if (it->is_number_integer()) return it->get<long long>() != 0;
  return fallback;
}

}  // namespace console
