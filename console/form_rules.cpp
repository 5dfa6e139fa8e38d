#include "console/form_rules.h"

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

PageUrl SplitPageUrl(std::string_view url) {
  PageUrl out;
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

std::string CutCp932(std::string text, size_t limit) {
  if (text.size() <= limit) return text;
  size_t at = 0;
  while (at < limit) {
    size_t len = platform::IsSjisLeadByte(static_cast<unsigned char>(text[at])) ? 2 : 1;
    if (at + len > limit) break;
    at += len;
  }
  text.resize(at);
  return text;
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
