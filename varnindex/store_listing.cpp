#include "varnindex/store_listing.h"

#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <map>
#include <mutex>

#include "platform/files.h"

namespace varnindex {
namespace {

// Two changes within this time of each other may carry the same time stamp.
constexpr int64_t kSettleNs = 2'000'000'000;
constexpr size_t kMaxCachedStores = 32;

struct CachedStore {
  FileIdentity folder;
  bool listingTrusted = false;
  std::vector<KeyFile> files;
};

std::mutex gMutex;
std::map<std::string, CachedStore> gCache;

int64_t ToNs(const timespec& t) { return int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec; }

int64_t NowNs() {
  timespec t{};
  clock_gettime(CLOCK_REALTIME, &t);
  return ToNs(t);
}

bool StatIdentity(const std::string& path, FileIdentity* out, bool* isRegular) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) return false;
  out->inode = st.st_ino;
  out->size = st.st_size;
  out->mtimeNs = ToNs(st.st_mtim);
  out->ctimeNs = ToNs(st.st_ctim);
  if (isRegular) *isRegular = S_ISREG(st.st_mode);
  return true;
}

bool Settled(const FileIdentity& id, int64_t nowNs) {
  return std::max(id.mtimeNs, id.ctimeNs) + kSettleNs < nowNs;
}

bool IsKeyFileName(const std::string& name) {
  if (name.size() <= 4) return false;
  std::string ext = name.substr(name.size() - 4);
  for (char& c : ext) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return ext == ".key";
}

const KeyFile* FindByName(const std::vector<KeyFile>& files, const std::string& name) {
  for (const KeyFile& f : files) {
    if (f.name == name) return &f;
  }
  return nullptr;
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

}  // namespace

std::vector<KeyFile> ListStore(const std::string& dir) {
  const int64_t now = NowNs();  // before any stat, so a change during the walk is not trusted
  FileIdentity folder;
  bool isRegular = false;
  std::lock_guard<std::mutex> guard(gMutex);
  if (!StatIdentity(dir, &folder, &isRegular) || isRegular) {
    gCache.erase(dir);
    return {};
  }
  auto it = gCache.find(dir);
  if (it == gCache.end()) {
    if (gCache.size() >= kMaxCachedStores) gCache.clear();
    it = gCache.emplace(dir, CachedStore{}).first;
  }
  CachedStore& cached = it->second;

  std::vector<std::string> names;
  if (cached.listingTrusted && cached.folder == folder) {
    for (const KeyFile& f : cached.files) names.push_back(f.name);
  } else {
    for (std::string& name : platform::ListFiles(dir)) {
      if (IsKeyFileName(name)) names.push_back(std::move(name));
    }
  }

  std::vector<KeyFile> files;
  files.reserve(names.size());
  for (const std::string& name : names) {
    KeyFile f;
    f.name = name;
    bool regular = false;
    const std::string path = platform::JoinPath(dir, name);
    if (!StatIdentity(path, &f.identity, &regular) || !regular) continue;
    const KeyFile* old = FindByName(cached.files, name);
    if (old && old->firstKeyTrusted && old->identity == f.identity) {
      f.firstKey = old->firstKey;
      f.firstKeyTrusted = true;
    } else {
      f.firstKey = f.slots() > 0 ? ReadFirstKey(path) : "";
      f.firstKeyTrusted = Settled(f.identity, now);
    }
    files.push_back(std::move(f));
  }
  std::sort(files.begin(), files.end(), ByPosition);
  cached.folder = folder;
  cached.listingTrusted = Settled(folder, now);
  cached.files = files;
  return files;
}

int TargetFile(const std::vector<KeyFile>& files, std::string_view key) {
  int target = -1;
  for (size_t i = 0; i < files.size(); ++i) {
    if (files[i].slots() == 0) break;  // files without slots come last
    if (target < 0 || CompareKeys(files[i].firstKey, key) <= 0) target = static_cast<int>(i);
  }
  return target;
}

void NoteWritten(const std::string& dir, const std::string& name, std::string_view firstKey) {
  KeyFile f;
  f.name = name;
  if (!StatIdentity(platform::JoinPath(dir, name), &f.identity, nullptr)) return;
  f.firstKey = std::string(firstKey);
  f.firstKeyTrusted = true;
  std::lock_guard<std::mutex> guard(gMutex);
  auto it = gCache.find(dir);
  if (it == gCache.end()) return;
  auto& files = it->second.files;
  auto old = std::find_if(files.begin(), files.end(), [&](const KeyFile& k) { return k.name == name; });
  if (old != files.end()) {
    *old = std::move(f);
  } else {
    files.push_back(std::move(f));
    it->second.listingTrusted = false;
  }
}

}  // namespace varnindex
