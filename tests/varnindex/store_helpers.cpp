#include "store_helpers.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/files.h"
#include "support/temp_dir.h"
#include "varnindex/VarnIndex.h"

namespace varnindex_test {

std::vector<std::string> ReadAll(const std::string& dir) {
  std::vector<std::string> keys;
  char slot[150];
  for (int32_t i = 0; GetRecordWithOffset(dir.c_str(), slot, i) == 1; ++i) keys.emplace_back(slot);
  return keys;
}

void WriteKeyFile(const std::string& path, const std::vector<std::string>& keys) {
  std::string bytes;
  for (const std::string& k : keys) {
    char slot[150] = {};
    std::memcpy(slot, k.data(), std::min<size_t>(k.size(), 149));
    bytes.append(slot, sizeof slot);
  }
  testsupport::WriteFile(path, bytes);
}

std::vector<std::string> NumberedKeys(const std::string& prefix, int first, int count) {
  std::vector<std::string> keys;
  for (int i = first; i < first + count; ++i) {
    char n[16];
    std::snprintf(n, sizeof n, "%04d", i);
    keys.push_back(prefix + n);
  }
  return keys;
}

std::vector<std::string> KeyFileNames(const std::string& dir) {
  std::vector<std::string> names;
  for (const std::string& n : platform::ListFiles(dir)) {
    if (n.size() > 4 && n.substr(n.size() - 4) == ".key") names.push_back(n);
  }
  std::sort(names.begin(), names.end());
  return names;
}

long SlotCount(const std::string& path) {
  return static_cast<long>(platform::FileSize(path) / 150);
}

}  // namespace varnindex_test
