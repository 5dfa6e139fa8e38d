#include "console/export_target.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

namespace console {
namespace {

constexpr const char* kOwnExportName = "export.csv";

bool SameDir(int fd, const struct stat& dir) {
  struct stat st {};
  return ::fstat(fd, &st) == 0 && st.st_dev == dir.st_dev && st.st_ino == dir.st_ino;
}

// The components of an absolute path; "." dropped and ".." taken back, which is what the
// file system does too once no component may be a symbolic link.
std::vector<std::string> Components(const std::string& path) {
  std::vector<std::string> parts;
  size_t pos = 0;
  while (pos <= path.size()) {
    size_t end = path.find('/', pos);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(pos, end - pos);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(std::move(part));
    }
    pos = end + 1;
  }
  return parts;
}

std::string WhyNotAFolder(int parent, const std::string& name, int err) {
  struct stat st {};
  if (::fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
    return "the path goes through a symbolic link (" + name + ")";
  }
  if (err == ENOTDIR) return "a part of the path is not a folder (" + name + ")";
  return "cannot open the folder " + name + ": " + std::strerror(err);
}

}  // namespace

ExportTarget::~ExportTarget() {
  if (fd_ >= 0) ::close(fd_);
  if (!written_.empty()) ::unlinkat(dirFd_, written_.c_str(), 0);
  if (dirFd_ >= 0) ::close(dirFd_);
}

bool ExportTarget::Fail(std::string why) {
  error_ = std::move(why);
  return false;
}

bool ExportTarget::Open(const std::string& programDir, const std::string& path, bool replace) {
  struct stat own {};
  if (::stat(programDir.c_str(), &own) != 0) return Fail("cannot find the program directory");
  if (path.empty() || path[0] != '/') return Fail("the path is not absolute");
  if (path.back() == '/') return Fail("the path names a folder");
  std::vector<std::string> parts = Components(path);
  if (parts.empty()) return Fail("the path names a folder");
  name_ = parts.back();
  parts.pop_back();

  // Each folder is opened from the one before, never through a link, so what is checked
  // is what is written to.
  dirFd_ = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd_ < 0) return Fail(std::string("cannot open /: ") + std::strerror(errno));
  bool inside = SameDir(dirFd_, own);
  for (const std::string& part : parts) {
    // Below the program directory lie the console's own files.
    if (inside) return Fail("the path lies inside the program directory");
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int next = ::openat(dirFd_, part.c_str(), flags);
    if (next < 0 && errno == ENOENT) {
      if (::mkdirat(dirFd_, part.c_str(), 0755) != 0 && errno != EEXIST) {
        return Fail("cannot make the folder " + part + ": " + std::strerror(errno));
      }
      next = ::openat(dirFd_, part.c_str(), flags);
    }
    if (next < 0) return Fail(WhyNotAFolder(dirFd_, part, errno));
    ::close(dirFd_);
    dirFd_ = next;
    inside = SameDir(dirFd_, own);
  }
  if (inside && name_ != kOwnExportName) {
    return Fail("the path lies inside the program directory; only its export.csv may be written");
  }

  struct stat st {};
  if (::fstatat(dirFd_, name_.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno != ENOENT)
      return Fail(std::string("cannot look at the file: ") + std::strerror(errno));
    fd_ =
        ::openat(dirFd_, name_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd_ < 0 && errno == EEXIST) {
      // Made by someone else meanwhile: asked again like any existing file.
      exists_ = true;
      return false;
    }
    if (fd_ < 0) return Fail(std::string("cannot create: ") + std::strerror(errno));
    written_ = name_;
  } else {
    if (S_ISLNK(st.st_mode)) return Fail("the path is a symbolic link");
    // A file with another hard link is refused as before: its other name may be anything.
    if (!S_ISREG(st.st_mode) || st.st_nlink > 1) return Fail("the path is not a regular file");
    if (!replace) {
      exists_ = true;
      return false;
    }
    std::random_device random;
    for (int attempt = 0; attempt < 16 && fd_ < 0; ++attempt) {
      char temp[32];
      std::snprintf(temp, sizeof temp, ".export-%08x.tmp", static_cast<unsigned>(random()));
      fd_ = ::openat(dirFd_, temp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
      if (fd_ >= 0) written_ = temp;
      if (fd_ < 0 && errno != EEXIST) break;
    }
    if (fd_ < 0) return Fail(std::string("cannot create: ") + std::strerror(errno));
  }
  // The file holds passwords: readable by its owner only, whatever the umask.
  if (::fchmod(fd_, 0600) != 0) return Fail(std::string("cannot write: ") + std::strerror(errno));
  return true;
}

bool ExportTarget::Commit() {
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) return Fail(std::string("cannot write: ") + std::strerror(errno));
  if (written_ != name_ && ::renameat(dirFd_, written_.c_str(), dirFd_, name_.c_str()) != 0) {
    return Fail(std::string("cannot replace the file: ") + std::strerror(errno));
  }
  written_.clear();
  return true;
}

}  // namespace console
