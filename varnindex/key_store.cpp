#include "varnindex/key_store.h"

#include <cstring>
#include <optional>
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

std::optional<Slots> ReadSlots(const std::string& path) {
  if (!platform::PathExists(path)) return Slots{};
  auto bytes = platform::ReadWholeFile(path);
  if (!bytes) return std::nullopt;
  bytes->resize(bytes->size() / kSlotSize * kSlotSize);
  return Slots{std::move(*bytes)};
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

void InsertSlot(Slots& slots, size_t at, std::string_view key) {
  char slot[kSlotSize];
  FillSlot(slot, key);
  slots.bytes.insert(at * kSlotSize, slot, kSlotSize);
}

// Replaces the key file at once, so a reader sees the old or the new slots, never a mix.
bool WriteSlots(const std::string& dir, const std::string& name, const Slots& slots) {
  if (!platform::WriteFileAtomic(platform::JoinPath(dir, name), slots.bytes)) return false;
  NoteWritten(dir, name, slots.count() > 0 ? slots.key(0) : std::string_view());
  return true;
}

std::string UnusedSplitName(const std::string& dir, std::string_view firstKey) {
  for (int n = 0; n < kSplitNames; ++n) {
    std::string name = SplitFileName(firstKey, n);
    if (!platform::PathExists(platform::JoinPath(dir, name))) return name;
  }
  return "";
}

// Moves the upper half of a full file into a new file and inserts the key into the half
// that takes it. False (nothing changed) when the new file cannot be made; the caller then
// inserts into the full file.
bool SplitAndInsert(const std::string& dir, const std::string& name, const Slots& full,
                    std::string_view key) {
  const size_t half = full.count() / 2;
  Slots lower{full.bytes.substr(0, half * kSlotSize)};
  Slots upper{full.bytes.substr(half * kSlotSize)};
  const std::string upperName = UnusedSplitName(dir, upper.key(0));
  if (upperName.empty()) return false;
  const bool keyGoesUp = CompareKeys(key, upper.key(0)) >= 0;
  Slots& receiver = keyGoesUp ? upper : lower;
  bool equal = false;
  InsertSlot(receiver, LowerBound(receiver, key, &equal), key);
  // The new file first: a reader in between sees some keys twice rather than missing.
  if (!WriteSlots(dir, upperName, upper)) return false;
  if (WriteSlots(dir, name, lower)) return true;
  platform::RemoveFile(platform::JoinPath(dir, upperName));
  return false;
}

bool InsertLocked(const std::string& dir, const std::string& key) {
  const std::vector<KeyFile> files = ListStore(dir);
  const int target = TargetFile(files, key);
  const std::string name = target < 0 ? kFirstFileName : files[target].name;
  std::optional<Slots> slots = ReadSlots(platform::JoinPath(dir, name));
  if (!slots) return false;
  bool equal = false;
  const size_t at = LowerBound(*slots, key, &equal);
  if (equal) return true;
  if (static_cast<int64_t>(slots->count()) >= kSplitSlots && SplitAndInsert(dir, name, *slots, key)) {
    return true;
  }
  InsertSlot(*slots, at, key);
  return WriteSlots(dir, name, *slots);
}

}  // namespace

int32_t AddKey(const std::string& dir, const std::string& key) {
  StoreLock lock;
  if (!lock.Take(dir)) return kNoLock;
  const bool ok = InsertLocked(dir, key);
  LogChange(dir, ok ? Change::kAdd : Change::kErrorAdd, key);
  return ok ? kDone : kFailed;
}

int32_t DeleteKey(const std::string& dir, const std::string& key) {
  // Deletes rewrite a whole key file too, so they take the same lock as adds: otherwise an
  // add and a delete on one file at the same time would lose one of the two.
  StoreLock lock;
  if (!lock.Take(dir)) return kNoLock;
  const std::vector<KeyFile> files = ListStore(dir);
  const int target = TargetFile(files, key);
  std::optional<Slots> slots;
  bool equal = false;
  size_t at = 0;
  if (target >= 0) slots = ReadSlots(platform::JoinPath(dir, files[target].name));
  if (slots) at = LowerBound(*slots, key, &equal);
  if (!equal) {
    LogChange(dir, Change::kErrorDel, key);
    return kNotFound;
  }
  slots->bytes.erase(at * kSlotSize, kSlotSize);
  if (!WriteSlots(dir, files[target].name, *slots)) return kFailed;
  LogChange(dir, Change::kDel, key);
  return kDone;
}

int64_t CountKeys(const std::string& dir) {
  int64_t total = 0;
  for (const KeyFile& f : ListStore(dir)) total += f.slots();
  return total;
}

bool ReadKeyAt(const std::string& dir, int64_t position, char* out) {
  if (position < 0) return false;
  // A file replaced between the listing and the read can come up short: list again once.
  for (int attempt = 0; attempt < 2; ++attempt) {
    int64_t before = 0;
    const KeyFile* holder = nullptr;
    const std::vector<KeyFile> files = ListStore(dir);
    for (const KeyFile& f : files) {
      if (position < before + f.slots()) {
        holder = &f;
        break;
      }
      before += f.slots();
    }
    if (!holder) return false;
    const int64_t offset = (position - before) * static_cast<int64_t>(kSlotSize);
    if (platform::ReadAt(platform::JoinPath(dir, holder->name), offset, out, kSlotSize) ==
        static_cast<long>(kSlotSize)) {
      out[kSlotSize - 1] = '\0';
      return true;
    }
  }
  return false;
}

}  // namespace varnindex
