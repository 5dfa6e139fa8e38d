#include "varnindex/bulk_load.h"

#include <algorithm>
#include <cstring>

#include "platform/files.h"
#include "varnindex/change_log.h"
#include "varnindex/key_store.h"
#include "varnindex/key_text.h"
#include "varnindex/store_listing.h"
#include "varnindex/store_lock.h"

namespace varnindex {
namespace {

constexpr const char* kFirstFileName = "kdt.key";
constexpr int kSplitNames = 1000;
// Files in flight start with "." so that no listing takes them for key files.
constexpr const char* kPendingPrefix = ".bulk.";

}  // namespace

Planner::Planner(std::function<bool(const std::string&)> nameTaken)
    : nameTaken_(std::move(nameTaken)) {}

std::string_view Planner::KeyOf(uint32_t index) const {
  const uint64_t span = spans_[index];
  return std::string_view(arena_.data() + (span >> 8), span & 0xff);
}

std::string_view Planner::key(uint32_t index) const {
  return KeyOf(index);
}

size_t Planner::keyCount() const {
  return placed_;
}

std::string Planner::UnusedSplitName(std::string_view firstKey) const {
  for (int n = 0; n < kSplitNames; ++n) {
    std::string name = SplitFileName(firstKey, n);
    if (names_.count(name) == 0 && !(nameTaken_ && nameTaken_(name))) return name;
  }
  return "";
}

void Planner::Add(std::string_view key) {
  key = key.substr(0, std::min(key.size(), kMaxKeyBytes));
  const auto id = static_cast<uint32_t>(spans_.size());
  spans_.push_back((static_cast<uint64_t>(arena_.size()) << 8) | key.size());
  arena_.append(key);
  key = KeyOf(id);  // the arena may have moved
  if (files_.empty()) {
    files_.push_back({kFirstFileName, {id}});
    names_.insert(kFirstFileName);
    ++placed_;
    return;
  }
  // The target: the last file whose first key is not above the key, else the first file.
  auto after = std::upper_bound(
      files_.begin(), files_.end(), key,
      [this](std::string_view k, const File& f) { return CompareKeys(k, KeyOf(f.keys[0])) < 0; });
  size_t target = after == files_.begin() ? 0 : static_cast<size_t>(after - files_.begin()) - 1;
  auto below = [this](uint32_t i, std::string_view k) { return CompareKeys(KeyOf(i), k) < 0; };
  std::vector<uint32_t>* slots = &files_[target].keys;
  auto at = std::lower_bound(slots->begin(), slots->end(), key, below);
  if (at != slots->end() && CompareKeys(KeyOf(*at), key) == 0) return;
  if (static_cast<int64_t>(slots->size()) >= kSplitSlots) {
    const size_t half = slots->size() / 2;
    std::string name = UnusedSplitName(KeyOf((*slots)[half]));
    // Without a free name the full file takes the key, as a failed split leaves it.
    if (!name.empty()) {
      File upper{name, std::vector<uint32_t>(slots->begin() + half, slots->end())};
      slots->resize(half);
      const bool goesUp = CompareKeys(key, KeyOf(upper.keys[0])) >= 0;
      names_.insert(std::move(name));
      files_.insert(files_.begin() + target + 1, std::move(upper));
      slots = &files_[target + (goesUp ? 1 : 0)].keys;
      at = std::lower_bound(slots->begin(), slots->end(), key, below);
    }
  }
  slots->insert(at, id);
  ++placed_;
}

int32_t ReplaceAllKeys(const std::string& dir, const char* keys, int32_t count) {
  StoreLock lock;
  if (!lock.TakeExclusive(dir)) return kNoLock;
  std::unordered_set<std::string> oldNames;
  for (const KeyFile& f : ListStore(dir, true)) oldNames.insert(f.name);
  // A name that only an old key file holds is free: that file goes.
  Planner planner([&](const std::string& name) {
    return oldNames.count(name) == 0 && platform::PathExists(platform::JoinPath(dir, name));
  });
  std::vector<std::string_view> logged;
  logged.reserve(count > 0 ? static_cast<size_t>(count) : 0);
  std::string normal;
  const char* p = keys;
  for (int32_t i = 0; i < count; ++i) {
    const size_t length = std::strlen(p);
    normal = NormaliseKey(std::string_view(p, length));
    p += length + 1;
    if (normal.empty()) continue;  // a single add refuses it before the store is touched
    planner.Add(normal);
  }
  for (uint32_t i = 0; i < planner.keysAdded(); ++i) logged.push_back(planner.key(i));

  bool ok = BeginChange(dir);
  std::vector<std::string> pending;
  std::string bytes;
  for (const Planner::File& f : planner.files()) {
    if (!ok) break;
    bytes.assign(f.keys.size() * kSlotSize, '\0');
    for (size_t s = 0; s < f.keys.size(); ++s) {
      const std::string_view k = planner.key(f.keys[s]);
      std::memcpy(bytes.data() + s * kSlotSize, k.data(), k.size());
    }
    pending.push_back(kPendingPrefix + f.name);
    ok = platform::WriteFileAtomic(platform::JoinPath(dir, pending.back()), bytes);
  }
  if (ok) {
    // Every new file is complete: only now does the store change.
    for (const Planner::File& f : planner.files()) {
      ok = platform::RenamePath(platform::JoinPath(dir, kPendingPrefix + f.name),
                                platform::JoinPath(dir, f.name)) &&
           ok;
      oldNames.erase(f.name);
    }
    for (const std::string& name : oldNames) {
      ok = platform::RemoveFile(platform::JoinPath(dir, name)) && ok;
    }
  } else {
    for (const std::string& name : pending) platform::RemoveFile(platform::JoinPath(dir, name));
  }
  ForgetStore(dir);
  LogChanges(dir, ok ? Change::kAdd : Change::kErrorAdd, logged);
  return ok ? kDone : kFailed;
}

int32_t ReadKeysAt(const std::string& dir, int64_t position, int32_t count, char* out) {
  int32_t copied = 0;
  if (position >= 0 && count > 0) {
    StoreLock lock;
    const bool locked = lock.TakeShared(dir);
    int64_t before = 0;
    for (const KeyFile& f : ListStore(dir, locked)) {
      if (copied == count) break;
      const int64_t want = position + copied;
      if (want >= before + f.slots()) {
        before += f.slots();
        continue;
      }
      const int64_t from = want - before;
      const int64_t n = std::min<int64_t>(f.slots() - from, count - copied);
      const long got =
          platform::ReadAt(platform::JoinPath(dir, f.name), from * static_cast<int64_t>(kSlotSize),
                           out + static_cast<size_t>(copied) * kSlotSize, n * kSlotSize);
      const int64_t whole = got < 0 ? 0 : got / static_cast<long>(kSlotSize);
      copied += static_cast<int32_t>(whole);
      if (whole < n) break;
      before += f.slots();
    }
  }
  for (int32_t i = 0; i < copied; ++i) out[static_cast<size_t>(i) * kSlotSize + kSlotSize - 1] = 0;
  for (int32_t i = copied; i < count; ++i) out[static_cast<size_t>(i) * kSlotSize] = 0;
  return copied;
}

}  // namespace varnindex
