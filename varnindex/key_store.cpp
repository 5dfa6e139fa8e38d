#include "varnindex/key_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

// A key file opened once for a change: the key's place is found by reading single slots,
// and only the slots that move are read and written.
class KeyFileAccess {
 public:
  ~KeyFileAccess() {
    if (fd_ >= 0) ::close(fd_);
  }
  // Opens (with `create`, creating) the file. False when it cannot be opened.
  bool Open(const std::string& path, bool create) {
    fd_ = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd_ < 0 && errno == ENOENT) {
      if (!create) {
        count_ = 0;
        return true;  // a missing file holds no slot
      }
      fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
      created_ = fd_ >= 0;
    }
    if (fd_ < 0) return false;
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return false;
    count_ = static_cast<size_t>(st.st_size) / kSlotSize;
    return true;
  }
  size_t count() const { return count_; }
  bool created() const { return created_; }
  int fd() const { return fd_; }

  // First slot whose key is not below `key`; `equal` tells whether it holds the key. False
  // when a slot cannot be read.
  bool LowerBound(std::string_view key, size_t* at, bool* equal) {
    size_t lo = 0, hi = count_;
    while (lo < hi) {
      const size_t mid = lo + (hi - lo) / 2;
      if (!ReadSlot(mid)) return false;
      if (CompareKeys(SlotKey(slot_), key) < 0) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    *at = lo;
    *equal = false;
    if (lo < count_) {
      if (!ReadSlot(lo)) return false;
      *equal = CompareKeys(SlotKey(slot_), key) == 0;
    }
    return true;
  }
  // Slots [from, count) into `buffer`, after `lead` bytes left free in front.
  bool ReadTail(size_t from, size_t lead, std::string* buffer) {
    const size_t bytes = (count_ - from) * kSlotSize;
    buffer->resize(lead + bytes);
    return FullRead(buffer->data() + lead, bytes, static_cast<off_t>(from * kSlotSize));
  }
  bool Write(const void* data, size_t size, size_t offset) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
      const ssize_t n = ::pwrite(fd_, p, size, static_cast<off_t>(offset));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      p += n;
      size -= static_cast<size_t>(n);
      offset += static_cast<size_t>(n);
    }
    return true;
  }
  bool Truncate(size_t slots) {
    return ::ftruncate(fd_, static_cast<off_t>(slots * kSlotSize)) == 0;
  }

 private:
  bool ReadSlot(size_t i) { return FullRead(slot_, kSlotSize, static_cast<off_t>(i * kSlotSize)); }
  bool FullRead(char* p, size_t size, off_t offset) {
    while (size > 0) {
      const ssize_t n = ::pread(fd_, p, size, offset);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      p += n;
      size -= static_cast<size_t>(n);
      offset += n;
    }
    return true;
  }

  int fd_ = -1;
  size_t count_ = 0;
  bool created_ = false;
  char slot_[kSlotSize] = {};
};

bool InsertLocked(const std::string& dir, const std::string& key) {
  const std::vector<KeyFile> files = ListStore(dir, true);
  const int target = TargetFile(files, key);
  const std::string name = target < 0 ? kFirstFileName : files[target].name;
  const std::string path = platform::JoinPath(dir, name);
  KeyFileAccess file;
  if (!file.Open(path, true)) return false;
  size_t at = 0;
  bool equal = false;
  if (!file.LowerBound(key, &at, &equal)) return false;
  if (equal) return true;
  if (!BeginChange(dir)) return false;
  const size_t n = file.count();
  if (static_cast<int64_t>(n) >= kSplitSlots) {
    // A split rewrites the file's upper half anyway: the whole file is read.
    thread_local Slots buffer;
    if (!ReadSlots(path, &buffer)) return false;
    const Split split = SplitAndInsert(dir, name, buffer, key);
    if (split != Split::kNotMade) return split == Split::kDone;
    if (!InsertInPlace(path, buffer, at, key)) return false;
    NoteWritten(dir, name, at == 0 ? key : buffer.key(0));
    return true;
  }
  char slot[kSlotSize];
  FillSlot(slot, key);
  if (at == n) {
    if (!file.Write(slot, kSlotSize, n * kSlotSize)) return false;
  } else {
    // The new slot and the slots that move up, in one buffer: first the file grows by the
    // last slot (a full disk then leaves it as it was), then the rest is written over it.
    thread_local std::string moved;
    if (!file.ReadTail(at, kSlotSize, &moved)) return false;
    std::memcpy(moved.data(), slot, kSlotSize);
    if (!file.Write(moved.data() + moved.size() - kSlotSize, kSlotSize, n * kSlotSize)) {
      file.Truncate(n);
      return false;
    }
    if (!file.Write(moved.data(), moved.size() - kSlotSize, at * kSlotSize)) return false;
  }
  const std::string_view first =
      at == 0 || target < 0 ? std::string_view(key) : std::string_view(files[target].firstKey);
  NoteWritten(dir, name, first, static_cast<int64_t>((n + 1) * kSlotSize), file.created());
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
  KeyFileAccess file;
  bool equal = false;
  size_t at = 0;
  if (target >= 0 && file.Open(platform::JoinPath(dir, files[target].name), false) &&
      !file.LowerBound(key, &at, &equal)) {
    equal = false;
  }
  if (!equal) {
    LogChange(dir, Change::kErrorDel, key);
    return kNotFound;
  }
  const std::string& name = files[target].name;
  const size_t n = file.count();
  thread_local std::string moved;
  bool ok = BeginChange(dir);
  if (ok && at + 1 < n) {
    ok = file.ReadTail(at + 1, 0, &moved) && file.Write(moved.data(), moved.size(), at * kSlotSize);
  }
  ok = ok && file.Truncate(n - 1);
  if (!ok) {
    ForgetStore(dir);
    return kFailed;
  }
  std::string first;
  if (n > 1) first = at == 0 ? std::string(SlotKey(moved.data())) : files[target].firstKey;
  NoteWritten(dir, name, first, static_cast<int64_t>((n - 1) * kSlotSize), false);
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
