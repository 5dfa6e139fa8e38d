#include "varnindex/key_text.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/codepage.h"

namespace varnindex {
namespace {

bool IsAllBlank(std::string_view key) {
  for (size_t i = 0; i < key.size(); ++i) {
    const auto c = static_cast<unsigned char>(key[i]);
    if (c == ' ') continue;
    if (c == 0x81 && i + 1 < key.size() && static_cast<unsigned char>(key[i + 1]) == 0x40) {
      ++i;
      continue;
    }
    return false;
  }
  return true;
}

}  // namespace

std::string NormaliseKey(std::string_view raw) {
  std::string_view key = raw.substr(0, std::min(raw.size(), kMaxKeyBytes));
  if (IsAllBlank(key)) return "";
  while (!key.empty() && key.front() == ' ') key.remove_prefix(1);
  while (!key.empty() && key.back() == ' ') key.remove_suffix(1);
  std::string out(key);
  for (size_t i = 0; i < out.size(); ++i) {
    const auto c = static_cast<unsigned char>(out[i]);
    if (platform::IsSjisLeadByte(c)) {
      ++i;  // the trail byte may look like a capital letter: leave the pair alone
    } else if (c >= 'A' && c <= 'Z') {
      out[i] = static_cast<char>(c - 'A' + 'a');
    }
  }
  return out;
}

std::string_view SlotKey(const char* slot) {
  return std::string_view(slot, strnlen(slot, kSlotSize));
}

void FillSlot(char* slot, std::string_view key) {
  const size_t n = std::min(key.size(), kMaxKeyBytes);
  std::memcpy(slot, key.data(), n);
  std::memset(slot + n, 0, kSlotSize - n);
}

int CompareKeys(std::string_view a, std::string_view b) {
  const size_t n = std::min(a.size(), b.size());
  const int c = n == 0 ? 0 : std::memcmp(a.data(), b.data(), n);
  if (c != 0) return c;
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

std::string SplitFileName(std::string_view firstKey, int number) {
  std::string name(firstKey.substr(0, std::min<size_t>(firstKey.size(), 6)));
  name += '_';
  if (firstKey.size() > 7) name += firstKey.substr(6, 4);
  for (char& c : name) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c == '/') c = '_';
  }
  if (name[0] == '.') name[0] = '_';
  char digits[8];
  std::snprintf(digits, sizeof digits, "%03d", number % 1000);
  return name + digits + ".key";
}

}  // namespace varnindex
