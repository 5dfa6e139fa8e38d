#include "common/account_key.h"

#include <cstdint>
#include <cstring>

#include "platform/codepage.h"

namespace common {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string HexKey(std::string_view name) {
  static const char kDigits[] = "0123456789abcdef";
  std::string key;
  size_t n = name.size() < kKeySourceBytes ? name.size() : kKeySourceBytes;
  for (size_t i = 0; i < n; ++i) {
    auto byte = static_cast<unsigned char>(name[i]);
    key += kDigits[byte >> 4];
    key += kDigits[byte & 15];
  }
  return key;
}

std::string DecodeKey(std::string_view key) {
  std::string_view suffix;
  size_t paren = key.rfind('(');
  if (paren != std::string_view::npos && paren > 0) {
    suffix = key.substr(paren);
    key = key.substr(0, paren);
  }
  std::string name;
  for (size_t i = 0; i + 1 < key.size(); i += 2) {
    int value = HexValue(key[i]) * 16 + HexValue(key[i + 1]);
    name += static_cast<char>(value);
  }
  // A lead byte standing alone at the end lost its trail byte to the 31-byte cut. Only the
  // code page's lead bytes pair up: half-width katakana (0xA1-0xDF) are whole characters.
  auto lead = [&name](size_t i) { return platform::IsSjisLeadByte(static_cast<uint8_t>(name[i])); };
  size_t at = 0;
  while (at + 1 < name.size()) at += lead(at) ? 2 : 1;
  if (at + 1 == name.size() && lead(at)) name.pop_back();
  name += suffix;
  return name;
}

void MakeAccountKey(char name[65]) {
  std::string key = HexKey(std::string_view(name, strnlen(name, 64)));
  std::memset(name, 0, 65);
  std::memcpy(name, key.data(), key.size());
}

void DecodeAccountKey(char key[65]) {
  std::string name = DecodeKey(std::string_view(key, strnlen(key, 64)));
  if (name.size() > 64) name.resize(64);
  std::memset(key, 0, 65);
  std::memcpy(key, name.data(), name.size());
}

}  // namespace common
