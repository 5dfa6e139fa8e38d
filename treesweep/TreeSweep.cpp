// Recursive purge over folder descriptors (openat/unlinkat): every step is relative to a
// folder already opened without following links, so a link swapped in mid-way can never
// lead the purge outside the tree.
#include "treesweep/TreeSweep.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#define VARN_EXPORT __attribute__((visibility("default")))

namespace {

// Empties the folder open as `fd` (which this takes over) as far as it can.
void PurgeContents(int fd) {
  DIR* d = ::fdopendir(fd);
  if (!d) {
    ::close(fd);
    return;
  }
  std::vector<std::string> files, folders;
  while (dirent* e = ::readdir(d)) {
    if (e->d_name[0] == '.') continue;  // ".", ".." and every other dot name stay
    bool isFolder = e->d_type == DT_DIR;
    if (e->d_type == DT_UNKNOWN) {
      struct stat st {};
      if (::fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
      isFolder = S_ISDIR(st.st_mode);
    }
    (isFolder ? folders : files).emplace_back(e->d_name);
  }
  const int dfd = dirfd(d);
  for (const std::string& name : files) ::unlinkat(dfd, name.c_str(), 0);
  for (const std::string& name : folders) {
    int sub = ::openat(dfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (sub < 0) continue;
    PurgeContents(sub);
    ::unlinkat(dfd, name.c_str(), AT_REMOVEDIR);  // fails, harmlessly, when not empty
  }
  ::closedir(d);
}

}  // namespace

extern "C" VARN_EXPORT int32_t DeleteNestDirFiles(int32_t, int32_t, const char* path) {
  try {
    if (!path) return 0;
    std::string dir(path);
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    if (dir.empty() || dir == "/") return 0;
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return 0;
    PurgeContents(fd);
    ::rmdir(dir.c_str());
  } catch (...) {
  }
  return 0;
}
