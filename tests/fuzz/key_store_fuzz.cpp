// The record store on a fuzzed key file: the bytes become "kdt.key" of a fresh store folder
// (with one extra byte past the last whole slot, the upper half of the slots goes to a split
// file of its own), then the store is counted, read at every position, and changed by adds
// and deletes of keys taken from the file and from the input's tail.
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>

#include "fuzz_check.h"
#include "fuzz_temp.h"
#include "platform/files.h"
#include "varnindex/VarnIndex.h"
#include "varnindex/key_text.h"

namespace {

constexpr size_t kSlot = varnindex::kSlotSize;
constexpr int32_t kMaxReads = 4000;

// Reads every position up to the count and one past it; returns the last key read.
std::string ReadAll(const std::string& dir) {
  const int32_t count = HowManyRecordInDB(dir.c_str());
  FUZZ_CHECK(count >= 0);
  char out[kSlot];
  std::string last;
  for (int32_t i = 0; i < std::min(count, kMaxReads); ++i) {
    std::memset(out, 'x', sizeof out);
    FUZZ_CHECK(GetRecordWithOffset(dir.c_str(), out, i) == 1);
    FUZZ_CHECK(std::memchr(out, 0, sizeof out) != nullptr);
    last = out;
  }
  std::memset(out, 'x', sizeof out);
  FUZZ_CHECK(GetRecordWithOffset(dir.c_str(), out, count) == 0 && out[0] == 0);
  FUZZ_CHECK(GetRecordWithOffset(dir.c_str(), out, -1) == 0 && out[0] == 0);
  return last;
}

std::string KeyAt(const std::string& dir, int32_t position) {
  char out[kSlot] = {};
  GetRecordWithOffset(dir.c_str(), out, position);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static uint64_t run = 0;
  // A new folder per input: the store caches its listing per folder.
  const std::string dir = fuzzpeer::FuzzTempDir("store") + "/s" + std::to_string(++run);
  FUZZ_CHECK(platform::MakeDirs(dir));
  const char* bytes = reinterpret_cast<const char*>(data);
  const size_t slots = size / kSlot;
  if (size % kSlot == 1 && slots >= 2) {
    const size_t lower = slots / 2;
    FUZZ_CHECK(platform::WriteFileAtomic(platform::JoinPath(dir, "kdt.key"),
                                         std::string_view(bytes, lower * kSlot)));
    const char* upper = bytes + lower * kSlot;
    const std::string name = varnindex::SplitFileName(varnindex::SlotKey(upper), 0);
    FUZZ_CHECK(platform::WriteFileAtomic(platform::JoinPath(dir, name),
                                         std::string_view(upper, (slots - lower) * kSlot)));
  } else {
    FUZZ_CHECK(platform::WriteFileAtomic(platform::JoinPath(dir, "kdt.key"),
                                         std::string_view(bytes, size)));
  }

  const std::string last = ReadAll(dir);
  const std::string tail(bytes + size - std::min<size_t>(size, 24), std::min<size_t>(size, 24));
  const std::string first = KeyAt(dir, 0);
  const std::string middle = KeyAt(dir, HowManyRecordInDB(dir.c_str()) / 2);
  for (const std::string& key : {tail, std::string("Fuzz Key"), first + "~", last + "!"}) {
    const int32_t code = AddDelDat(1, dir.c_str(), key.c_str());
    FUZZ_CHECK(code == 1 || code == -2 || code == -8);
  }
  ReadAll(dir);
  for (const std::string& key : {middle, first, tail, std::string("fuzz key")}) {
    const int32_t code = AddDelDat(2, dir.c_str(), key.c_str());
    FUZZ_CHECK(code == 1 || code == -2 || code == -4 || code == -8);
  }
  ReadAll(dir);
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  return 0;
}
