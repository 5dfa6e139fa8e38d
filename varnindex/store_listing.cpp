#include "varnindex/store_listing.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/files.h"
#include "varnindex/kept_fd.h"

namespace varnindex {
namespace {

constexpr const char* kGenerationFile = ".kdt.gen";
constexpr size_t kMaxCachedStores = 32;

struct FolderStamp {
  ino_t inode = 0;
  int64_t mtimeNs = -1;
  int64_t ctimeNs = -1;
  bool operator==(const FolderStamp&) const = default;
};

struct CachedStore {
  uint64_t generation = 0;
  FolderStamp folder;
  bool listed = false;
  uint64_t epoch = 0;
  std::vector<KeyFile> files;
  KeptFd generationFile;  // ".kdt.gen", kept open while the folder's stamp stays the same
};

std::mutex gMutex;
std::map<std::string, CachedStore> gCache;
uint64_t gLastEpoch = 0;

int64_t ToNs(const timespec& t) {
  return int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

// False when the path is not a folder.
bool StampFolder(const std::string& dir, FolderStamp* out) {
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  *out = FolderStamp{st.st_ino, ToNs(st.st_mtim), ToNs(st.st_ctim)};
  return true;
}

int OpenGeneration(const std::string& dir, bool create) {
  const std::string path = platform::JoinPath(dir, kGenerationFile);
  return ::open(path.c_str(), O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0644);
}

// 0 when the store has never been changed by this library.
uint64_t ReadGeneration(int fd) {
  unsigned char b[8] = {};
  if (fd < 0 || ::pread(fd, b, sizeof b, 0) != 8) return 0;
  uint64_t g = 0;
  for (int i = 7; i >= 0; --i) g = (g << 8) | b[i];
  return g;
}

bool WriteGeneration(int fd, uint64_t g) {
  unsigned char b[8];
  for (int i = 0; i < 8; ++i) b[i] = static_cast<unsigned char>(g >> (8 * i));
  return fd >= 0 && ::pwrite(fd, b, sizeof b, 0) == 8;
}

bool IsKeyFileName(const std::string& name) {
  if (name.size() <= 4) return false;
  std::string ext = name.substr(name.size() - 4);
  for (char& c : ext) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return ext == ".key";
}

std::string ReadFirstKey(const std::string& path) {
  char slot[kSlotSize];
  if (platform::ReadPrefix(path, slot, sizeof slot) != static_cast<long>(sizeof slot)) return "";
  return std::string(SlotKey(slot));
}

bool ByPosition(const KeyFile& a, const KeyFile& b) {
  const bool aEmpty = a.slots() == 0, bEmpty = b.slots() == 0;
  if (aEmpty != bEmpty) return bEmpty;
  const int c = CompareKeys(a.firstKey, b.firstKey);
  if (c != 0) return c < 0;
  return a.name < b.name;
}

std::vector<KeyFile> ReadListing(const std::string& dir) {
  std::vector<KeyFile> files;
  for (std::string& name : platform::ListFiles(dir)) {
    if (!IsKeyFileName(name)) continue;
    KeyFile f;
    const std::string path = platform::JoinPath(dir, name);
    f.size = platform::FileSize(path);
    if (f.size < 0) continue;
    f.name = std::move(name);
    if (f.slots() > 0) f.firstKey = ReadFirstKey(path);
    files.push_back(std::move(f));
  }
  std::sort(files.begin(), files.end(), ByPosition);
  return files;
}

}  // namespace

std::vector<KeyFile> ListStore(const std::string& dir, bool locked, uint64_t* epoch) {
  FolderStamp folder;
  if (!StampFolder(dir, &folder)) {
    std::lock_guard<std::mutex> guard(gMutex);
    gCache.erase(dir);
    return {};
  }
  if (!locked) return ReadListing(dir);
  std::lock_guard<std::mutex> guard(gMutex);
  auto it = gCache.find(dir);
  if (it == gCache.end()) {
    if (gCache.size() >= kMaxCachedStores) gCache.clear();
    it = gCache.emplace(dir, CachedStore{}).first;
  }
  CachedStore& cached = it->second;
  // A folder whose names changed may hold another ".kdt.gen" than the one kept open.
  if (!(cached.folder == folder) || cached.generationFile.get() < 0) {
    cached.generationFile.Reset(OpenGeneration(dir, false));
  }
  const uint64_t generation = ReadGeneration(cached.generationFile.get());
  if (!cached.listed || generation == 0 || cached.generation != generation ||
      !(cached.folder == folder)) {
    cached.generation = generation;
    cached.folder = folder;
    cached.files = ReadListing(dir);
    cached.listed = true;
    cached.epoch = ++gLastEpoch;
  }
  if (epoch) *epoch = cached.epoch;
  return cached.files;
}

int TargetFile(const std::vector<KeyFile>& files, std::string_view key) {
  int target = -1;
  for (size_t i = 0; i < files.size(); ++i) {
    if (files[i].slots() == 0) break;  // files without slots come last
    if (target < 0 || CompareKeys(files[i].firstKey, key) <= 0) target = static_cast<int>(i);
  }
  return target;
}

bool BeginChange(const std::string& dir) {
  // ListStore has just read the number under this same lock; the cache holds it.
  std::lock_guard<std::mutex> guard(gMutex);
  auto it = gCache.find(dir);
  if (it == gCache.end()) {
    KeptFd file(OpenGeneration(dir, true));
    return WriteGeneration(file.get(), ReadGeneration(file.get()) + 1);
  }
  CachedStore& cached = it->second;
  if (cached.generationFile.get() < 0) cached.generationFile.Reset(OpenGeneration(dir, true));
  const uint64_t next = cached.generation + 1;
  if (!WriteGeneration(cached.generationFile.get(), next)) {
    gCache.erase(it);
    return false;
  }
  cached.generation = next;
  return true;
}

void NoteWritten(const std::string& dir, const std::string& name, std::string_view firstKey) {
  KeyFile f;
  f.name = name;
  f.size = platform::FileSize(platform::JoinPath(dir, name));
  f.firstKey = f.slots() > 0 ? std::string(firstKey) : "";
  FolderStamp folder;
  const bool haveFolder = StampFolder(dir, &folder);
  std::lock_guard<std::mutex> guard(gMutex);
  auto it = gCache.find(dir);
  if (it == gCache.end()) return;
  if (f.size < 0 || !haveFolder) {
    gCache.erase(it);
    return;
  }
  auto& files = it->second.files;
  auto old =
      std::find_if(files.begin(), files.end(), [&](const KeyFile& k) { return k.name == name; });
  if (old != files.end()) {
    *old = std::move(f);
  } else {
    files.push_back(std::move(f));
  }
  std::sort(files.begin(), files.end(), ByPosition);
  it->second.folder = folder;  // a new file changes the folder's time stamps
}

void NoteWritten(const std::string& dir, const std::string& name, std::string_view firstKey,
                 int64_t size, bool created) {
  if (created) {
    NoteWritten(dir, name, firstKey);
    return;
  }
  std::lock_guard<std::mutex> guard(gMutex);
  auto it = gCache.find(dir);
  if (it == gCache.end()) return;
  auto& files = it->second.files;
  auto old =
      std::find_if(files.begin(), files.end(), [&](const KeyFile& k) { return k.name == name; });
  if (old == files.end()) {
    gCache.erase(it);  // a file the listing did not know: read the folder again next time
    return;
  }
  old->size = size;
  old->firstKey = old->slots() > 0 ? std::string(firstKey) : "";
  std::sort(files.begin(), files.end(), ByPosition);
}

void ForgetStore(const std::string& dir) {
  std::lock_guard<std::mutex> guard(gMutex);
  gCache.erase(dir);
}

}  // namespace varnindex
