#include "varnindex/key_store.h"

#include <cstring>
#include <vector>

#include "platform/files.h"
#include "varnindex/change_log.h"
#include "varnindex/key_text.h"
#include "varnindex/store_listing.h"
#include "varnindex/store_lock.h"

namespace varnindex {
namespace {

constexpr const char* kFirstFileName = "kdt.key";
constexpr int kSplitNames = 1000;

// The slots of one key file, read whole; a torn slot at the end is dropped.
struct Slots {
  std::string bytes;
  size_t count() const { return bytes.size() / kSlotSize; }
  std::string_view key(size_t i) const { return SlotKey(bytes.data() + i * kSlotSize); }
};

// Reads a key file whole into `slots` (empty when the file is missing). The buffer is kept
// per thread: a key file is up to 300 KB, and fresh memory for it on every change costs
// more than the change itself.
bool ReadSlots(const std::string& path, Slots* slots) {
  const int64_t size = platform::FileSize(path);
  slots->bytes.clear();
  if (size <= 0) return size == 0 || !platform::PathExists(path);
  slots->bytes.resize(static_cast<size_t>(size));
  const long got = platform::ReadAt(path, 0, slots->bytes.data(), slots->bytes.size());
  if (got < 0) return false;
  slots->bytes.resize(static_cast<size_t>(got) / kSlotSize * kSlotSize);
  return true;
}

// First slot whose key is not below `key`; `equal` tells whether it holds the key itself.
size_t LowerBound(const Slots& slots, std::string_view key, bool* equal) {
  size_t lo = 0, hi = slots.count();
  while (lo < hi) {
    const size_t mid = lo + (hi - lo) / 2;
    if (CompareKeys(slots.key(mid), key) < 0) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  *equal = lo < slots.count() && CompareKeys(slots.key(lo), key) == 0;
  return lo;
}

// Inserts the key at slot `at` of the file at `path`, whose slots are `slots`, in place:
// the file first grows by one slot, so a full disk leaves it as it was; then the slots from
// `at` on move up by one and the new slot goes in. Readers are kept out by the store lock.
bool InsertInPlace(const std::string& path, const Slots& slots, size_t at, std::string_view key) {
  const size_t n = slots.count();
  char slot[kSlotSize];
  FillSlot(slot, key);
  const int64_t end = static_cast<int64_t>(n * kSlotSize);
  if (at == n) return platform::WriteAt(path, end, slot, kSlotSize);
  if (!platform::WriteAt(path, end, slots.bytes.data() + end - kSlotSize, kSlotSize)) {
    platform::TruncateFile(path, end);
    return false;
  }
  const int64_t from = static_cast<int64_t>(at * kSlotSize);
  return (at + 1 == n || platform::WriteAt(path, from + kSlotSize, slots.bytes.data() + from,
                                           (n - 1 - at) * kSlotSize)) &&
         platform::WriteAt(path, from, slot, kSlotSize);
}

// Removes slot `at` in place: the following slots move down, then the file is cut.
bool DeleteInPlace(const std::string& path, const Slots& slots, size_t at) {
  const size_t n = slots.count();
  const size_t tail = (n - 1 - at) * kSlotSize;
  if (tail > 0 && !platform::WriteAt(path, static_cast<int64_t>(at * kSlotSize),
                                     slots.bytes.data() + (at + 1) * kSlotSize, tail)) {
    return false;
  }
  return platform::TruncateFile(path, static_cast<int64_t>((n - 1) * kSlotSize));
}

std::string UnusedSplitName(const std::string& dir, std::string_view firstKey) {
  for (int n = 0; n < kSplitNames; ++n) {
    std::string name = SplitFileName(firstKey, n);
    if (!platform::PathExists(platform::JoinPath(dir, name))) return name;
  }
  return "";
}

enum class Split { kNotMade, kDone, kFailed };

// Moves the upper half of a full file into a new file and inserts the key into the half
// that takes it. kNotMade, with the full file unchanged, when the new file cannot be made;
// the caller then inserts into the full file.
Split SplitAndInsert(const std::string& dir, const std::string& name, const Slots& full,
                     std::string_view key) {
  const size_t half = full.count() / 2;
  Slots lower{full.bytes.substr(0, half * kSlotSize)};
  Slots upper{full.bytes.substr(half * kSlotSize)};
  const std::string upperName = UnusedSplitName(dir, upper.key(0));
  if (upperName.empty()) return Split::kNotMade;
  const bool keyGoesUp = CompareKeys(key, upper.key(0)) >= 0;
  bool equal = false;
  if (keyGoesUp) {
    char slot[kSlotSize];
    FillSlot(slot, key);
    upper.bytes.insert(LowerBound(upper, key, &equal) * kSlotSize, slot, kSlotSize);
  }
  // The new file first: a crash in between leaves some keys twice rather than none.
  const std::string upperPath = platform::JoinPath(dir, upperName);
  const std::string lowerPath = platform::JoinPath(dir, name);
  if (!platform::WriteFileAtomic(upperPath, upper.bytes)) return Split::kNotMade;
  if (!platform::TruncateFile(lowerPath, static_cast<int64_t>(lower.bytes.size()))) {
    platform::RemoveFile(upperPath);
    return Split::kNotMade;
  }
  NoteWritten(dir, upperName, upper.key(0));
  if (!keyGoesUp) {
    const size_t at = LowerBound(lower, key, &equal);
    if (!InsertInPlace(lowerPath, lower, at, key)) return Split::kFailed;
    NoteWritten(dir, name, at == 0 ? key : lower.key(0));
  } else {
    NoteWritten(dir, name, lower.key(0));
  }
  return Split::kDone;
}

bool InsertLocked(const std::string& dir, const std::string& key) {
  const std::vector<KeyFile> files = ListStore(dir, true);
  const int target = TargetFile(files, key);
  const std::string name = target < 0 ? kFirstFileName : files[target].name;
  const std::string path = platform::JoinPath(dir, name);
  thread_local Slots buffer;
  Slots* slots = &buffer;
  if (!ReadSlots(path, slots)) return false;
  bool equal = false;
  const size_t at = LowerBound(*slots, key, &equal);
  if (equal) return true;
  if (!BeginChange(dir)) return false;
  if (static_cast<int64_t>(slots->count()) >= kSplitSlots) {
    const Split split = SplitAndInsert(dir, name, *slots, key);
    if (split != Split::kNotMade) return split == Split::kDone;
  }
  if (!InsertInPlace(path, *slots, at, key)) return false;
  NoteWritten(dir, name, at == 0 ? key : slots->key(0));
  return true;
}

}  // namespace

int32_t AddKey(const std::string& dir, const std::string& key) {
  StoreLock lock;
  if (!lock.TakeExclusive(dir)) return kNoLock;
  const bool ok = InsertLocked(dir, key);
  if (!ok) ForgetStore(dir);
  LogChange(dir, ok ? Change::kAdd : Change::kErrorAdd, key);
  return ok ? kDone : kFailed;
}

int32_t DeleteKey(const std::string& dir, const std::string& key) {
  // Deletes move slots like inserts do, so they take the same lock: otherwise an add and a
  // delete in one file at the same time would lose one of the two.
  StoreLock lock;
  if (!lock.TakeExclusive(dir)) return kNoLock;
  const std::vector<KeyFile> files = ListStore(dir, true);
  const int target = TargetFile(files, key);
  thread_local Slots buffer;
  Slots* slots = &buffer;
  bool equal = false;
  size_t at = 0;
  if (target >= 0 && ReadSlots(platform::JoinPath(dir, files[target].name), slots)) {
    at = LowerBound(*slots, key, &equal);
  }
  if (!equal) {
    LogChange(dir, Change::kErrorDel, key);
    return kNotFound;
  }
  const std::string& name = files[target].name;
  if (!BeginChange(dir) || !DeleteInPlace(platform::JoinPath(dir, name), *slots, at)) {
    ForgetStore(dir);
    return kFailed;
  }
  NoteWritten(dir, name, slots->count() > 1 ? slots->key(at == 0 ? 1 : 0) : std::string_view());
  LogChange(dir, Change::kDel, key);
  return kDone;
}

int64_t CountKeys(const std::string& dir) {
  StoreLock lock;
  const bool locked = lock.TakeShared(dir);
  int64_t total = 0;
  for (const KeyFile& f : ListStore(dir, locked)) total += f.slots();
  return total;
}

bool ReadKeyAt(const std::string& dir, int64_t position, char* out) {
  if (position < 0) return false;
  StoreLock lock;
  const bool locked = lock.TakeShared(dir);
  int64_t before = 0;
  for (const KeyFile& f : ListStore(dir, locked)) {
    if (position >= before + f.slots()) {
      before += f.slots();
      continue;
    }
    const int64_t offset = (position - before) * static_cast<int64_t>(kSlotSize);
    if (platform::ReadAt(platform::JoinPath(dir, f.name), offset, out, kSlotSize) !=
        static_cast<long>(kSlotSize)) {
      return false;
    }
    out[kSlotSize - 1] = '\0';
    return true;
  }
  return false;
}

}  // namespace varnindex
