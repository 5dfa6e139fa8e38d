// The exported boundary: C texts in, result codes out, no exception past this point.
#include "varnindex/VarnIndex.h"

#include <climits>
#include <string>

// The library is built with hidden symbols; these are its whole interface.
#define VARN_EXPORT __attribute__((visibility("default")))

#include "varnindex/bulk_load.h"
#include "varnindex/key_store.h"
#include "varnindex/key_text.h"

namespace {

constexpr int32_t kEmpty = -2;
constexpr int32_t kUnknownType = -6;
constexpr int32_t kAdd = 1;
constexpr int32_t kDelete = 2;

std::string Text(const char* s) {
  return s ? std::string(s) : std::string();
}

bool IsBlank(const std::string& s) {
  return s.find_first_not_of(' ') == std::string::npos;
}

}  // namespace

extern "C" VARN_EXPORT int32_t AddDelDat(int32_t type, const char* storeDir, const char* key) {
  try {
    const std::string dir = Text(storeDir);
    const std::string normal = varnindex::NormaliseKey(Text(key));
    if (normal.empty() || IsBlank(dir)) return kEmpty;
    if (type == kAdd) return varnindex::AddKey(dir, normal);
    if (type == kDelete) return varnindex::DeleteKey(dir, normal);
    return kUnknownType;
  } catch (...) {
    return varnindex::kFailed;
  }
}

extern "C" VARN_EXPORT int32_t HowManyRecordInDB(const char* storeDir) {
  try {
    const std::string dir = Text(storeDir);
    if (IsBlank(dir)) return 0;
    const int64_t n = varnindex::CountKeys(dir);
    return n > INT32_MAX ? INT32_MAX : static_cast<int32_t>(n);
  } catch (...) {
    return 0;
  }
}

extern "C" VARN_EXPORT int32_t GetRecordWithOffset(const char* storeDir, char* out,
                                                   int32_t position) {
  if (!out) return 0;
  out[0] = '\0';
  try {
    const std::string dir = Text(storeDir);
    if (IsBlank(dir)) return 0;
    if (varnindex::ReadKeyAt(dir, position, out)) return 1;
    out[0] = '\0';
    return 0;
  } catch (...) {
    out[0] = '\0';
    return 0;
  }
}

extern "C" VARN_EXPORT int32_t ReplaceAllDat(const char* storeDir, const char* keys,
                                             int32_t count) {
  try {
    const std::string dir = Text(storeDir);
    if (IsBlank(dir) || count < 0 || (keys == nullptr && count > 0)) return kEmpty;
    return varnindex::ReplaceAllKeys(dir, keys, count);
  } catch (...) {
    return varnindex::kFailed;
  }
}

extern "C" VARN_EXPORT int32_t GetRecordsWithOffset(const char* storeDir, char* out,
                                                    int32_t position, int32_t count) {
  if (!out || count <= 0) return 0;
  try {
    const std::string dir = Text(storeDir);
    if (IsBlank(dir)) {
      for (int32_t i = 0; i < count; ++i) out[static_cast<size_t>(i) * 150] = '\0';
      return 0;
    }
    return varnindex::ReadKeysAt(dir, position, count, out);
  } catch (...) {
    for (int32_t i = 0; i < count; ++i) out[static_cast<size_t>(i) * 150] = '\0';
    return 0;
  }
}
