#include "varnindex/key_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/files.h"
#include "varnindex/change_log.h"
#include "varnindex/kept_fd.h"
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

// First of the `count` slots at `slots` whose key is not below `key`; `equal` tells whether
// it holds the key itself.
size_t LowerBound(const char* slots, size_t count, std::string_view key, bool* equal) {
  size_t lo = 0, hi = count;
  while (lo < hi) {
    const size_t mid = lo + (hi - lo) / 2;
    if (CompareKeys(SlotKey(slots + mid * kSlotSize), key) < 0) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  *equal = lo < count && CompareKeys(SlotKey(slots + lo * kSlotSize), key) == 0;
  return lo;
}

size_t LowerBound(const Slots& slots, std::string_view key, bool* equal) {
  return LowerBound(slots.bytes.data(), slots.count(), key, equal);
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

// The key files of a store kept open between changes in this process, each with every
// 64th key, so that a change reads only the stretch that holds its key and the slots that
// move. Only touched under the store's exclusive lock; good for one listing epoch.
constexpr size_t kSampleEvery = 64;

struct OpenKeyFile {
  KeptFd fd;
  bool sampled = false;
  std::vector<std::string> samples;  // the keys at slots 0, 64, 128, ...
};

struct OpenStore {
  uint64_t epoch = 0;
  std::map<std::string, OpenKeyFile> files;
};

constexpr size_t kMaxOpenStores = 32;
std::mutex gOpenMutex;
std::map<std::string, std::shared_ptr<OpenStore>> gOpen;

std::shared_ptr<OpenStore> OpenStoreOf(const std::string& dir, uint64_t epoch) {
  std::lock_guard<std::mutex> guard(gOpenMutex);
  if (gOpen.size() >= kMaxOpenStores && gOpen.count(dir) == 0) gOpen.clear();
  std::shared_ptr<OpenStore>& store = gOpen[dir];
  if (!store || store->epoch != epoch) {
    store = std::make_shared<OpenStore>();
    store->epoch = epoch;
  }
  return store;
}

// The open file `name` of the store; `created` tells whether it had to be made.
OpenKeyFile* OpenKeyFileOf(OpenStore& store, const std::string& dir, const std::string& name,
                           bool create, bool* created) {
  *created = false;
  OpenKeyFile& file = store.files[name];
  if (file.fd.get() >= 0) return &file;
  const std::string path = platform::JoinPath(dir, name);
  file.fd.Reset(::open(path.c_str(), O_RDWR | O_CLOEXEC));
  if (file.fd.get() < 0 && errno == ENOENT && create) {
    file.fd.Reset(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    *created = file.fd.get() >= 0;
  }
  if (file.fd.get() >= 0) return &file;
  store.files.erase(name);
  return nullptr;
}

bool ReadFully(int fd, char* p, size_t size, off_t offset) {
  while (size > 0) {
    const ssize_t n = ::pread(fd, p, size, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
    offset += n;
  }
  return true;
}

bool WriteFully(int fd, const char* p, size_t size, off_t offset) {
  while (size > 0) {
    const ssize_t n = ::pwrite(fd, p, size, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
    offset += n;
  }
  return true;
}

// The first slot of the 64-slot stretch where the key's place lies.
size_t StretchStart(const OpenKeyFile& file, std::string_view key) {
  if (!file.sampled) return 0;
  auto after = std::upper_bound(
      file.samples.begin(), file.samples.end(), key,
      [](std::string_view k, const std::string& sample) { return CompareKeys(k, sample) < 0; });
  if (after == file.samples.begin()) return 0;
  return static_cast<size_t>(after - file.samples.begin() - 1) * kSampleEvery;
}

// Takes the samples again from `slots`, the file's slots from `from` (a multiple of 64) to
// its end at `count`.
void Resample(OpenKeyFile* file, const char* slots, size_t from, size_t count) {
  file->samples.resize((count + kSampleEvery - 1) / kSampleEvery);
  for (size_t j = from / kSampleEvery; j < file->samples.size(); ++j) {
    file->samples[j] = std::string(SlotKey(slots + (j * kSampleEvery - from) * kSlotSize));
  }
  file->sampled = true;
}

// Reads the slots from the key's stretch to the end, `lead` bytes into `buffer`, and finds
// the key's place: `at`, the first slot not below the key, and whether it holds the key.
bool FindPlace(OpenKeyFile* file, size_t count, std::string_view key, size_t lead,
               std::string* buffer, size_t* from, size_t* at, bool* equal) {
  *from = std::min(StretchStart(*file, key), count);
  buffer->resize(lead + (count - *from) * kSlotSize);
  if (!ReadFully(file->fd.get(), buffer->data() + lead, buffer->size() - lead,
                 static_cast<off_t>(*from * kSlotSize))) {
    file->sampled = false;
    return false;
  }
  if (!file->sampled) Resample(file, buffer->data() + lead, 0, count);
  const size_t bound = LowerBound(buffer->data() + lead, count - *from, key, equal);
  *at = *from + bound;
  return true;
}

bool InsertLocked(const std::string& dir, const std::string& key) {
  uint64_t epoch = 0;
  const std::vector<KeyFile> files = ListStore(dir, true, &epoch);
  const int target = TargetFile(files, key);
  const std::string name = target < 0 ? kFirstFileName : files[target].name;
  // A file without slots is still listed (with its size); one not listed does not exist.
  int64_t size = -1;
  for (const KeyFile& f : files) {
    if (f.name == name) size = f.size;
  }
  const size_t n = size < 0 ? 0 : static_cast<size_t>(size) / kSlotSize;
  const std::shared_ptr<OpenStore> store = OpenStoreOf(dir, epoch);
  if (static_cast<int64_t>(n) >= kSplitSlots) {
    // A split rewrites the file's upper half anyway: the whole file is read, and what is
    // kept about the two files is taken afresh on their next change.
    store->files.clear();
    const std::string path = platform::JoinPath(dir, name);
    thread_local Slots buffer;
    if (!ReadSlots(path, &buffer)) return false;
    bool equal = false;
    const size_t at = LowerBound(buffer, key, &equal);
    if (equal) return true;
    if (!BeginChange(dir)) return false;
    const Split split = SplitAndInsert(dir, name, buffer, key);
    if (split != Split::kNotMade) return split == Split::kDone;
    if (!InsertInPlace(path, buffer, at, key)) return false;
    NoteWritten(dir, name, at == 0 ? key : buffer.key(0));
    return true;
  }
  bool created = false;
  OpenKeyFile* file = OpenKeyFileOf(*store, dir, name, size < 0, &created);
  if (!file) return false;
  thread_local std::string buffer;
  size_t from = 0, at = 0;
  bool equal = false;
  if (!FindPlace(file, n, key, kSlotSize, &buffer, &from, &at, &equal)) return false;
  if (equal) return true;
  if (!BeginChange(dir)) return false;
  // The buffer holds a free slot, then the slots from `from` on: the slots below the key
  // move into the free slot, and the key goes in after them, giving the new slots from
  // `from` on. The key and every slot after it are written in one go.
  char* slots = buffer.data();
  std::memmove(slots, slots + kSlotSize, (at - from) * kSlotSize);
  FillSlot(slots + (at - from) * kSlotSize, key);
  const char* changed = slots + (at - from) * kSlotSize;
  const size_t changedBytes = (n - at + 1) * kSlotSize;
  if (!WriteFully(file->fd.get(), changed, changedBytes, static_cast<off_t>(at * kSlotSize))) {
    // A full disk lets the slots already there be written over but not the one past the
    // end: the old slots go back (they fit where they were) and the file its old length.
    WriteFully(file->fd.get(), changed + kSlotSize, changedBytes - kSlotSize,
               static_cast<off_t>(at * kSlotSize));
    if (::ftruncate(file->fd.get(), static_cast<off_t>(n * kSlotSize)) != 0) {
      // The store is forgotten and listed again from the files on the next change.
    }
    file->sampled = false;
    return false;
  }
  Resample(file, slots, from, n + 1);
  const std::string_view first =
      at == 0 || target < 0 ? std::string_view(key) : std::string_view(files[target].firstKey);
  NoteWritten(dir, name, first, static_cast<int64_t>((n + 1) * kSlotSize), created);
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
  uint64_t epoch = 0;
  const std::vector<KeyFile> files = ListStore(dir, true, &epoch);
  const int target = TargetFile(files, key);
  thread_local std::string buffer;
  OpenKeyFile* file = nullptr;
  std::shared_ptr<OpenStore> store;
  size_t from = 0, at = 0;
  bool equal = false;
  const size_t n = target < 0 ? 0 : static_cast<size_t>(files[target].slots());
  if (target >= 0) {
    store = OpenStoreOf(dir, epoch);
    bool created = false;
    file = OpenKeyFileOf(*store, dir, files[target].name, false, &created);
    if (file && !FindPlace(file, n, key, 0, &buffer, &from, &at, &equal)) equal = false;
  }
  if (!equal) {
    LogChange(dir, Change::kErrorDel, key);
    return kNotFound;
  }
  const std::string& name = files[target].name;
  // The slots after the key move down over it.
  char* slots = buffer.data();
  std::memmove(slots + (at - from) * kSlotSize, slots + (at - from + 1) * kSlotSize,
               (n - at - 1) * kSlotSize);
  bool ok = BeginChange(dir);
  if (ok && at + 1 < n) {
    ok = WriteFully(file->fd.get(), slots + (at - from) * kSlotSize, (n - at - 1) * kSlotSize,
                    static_cast<off_t>(at * kSlotSize));
  }
  ok = ok && ::ftruncate(file->fd.get(), static_cast<off_t>((n - 1) * kSlotSize)) == 0;
  if (!ok) {
    file->sampled = false;
    ForgetStore(dir);
    return kFailed;
  }
  Resample(file, slots, from, n - 1);
  std::string first;
  if (n > 1) first = at == 0 ? std::string(SlotKey(slots)) : files[target].firstKey;
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
