#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace platform {
namespace {

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

std::vector<std::string> ListEntries(const std::string& dir, bool wantDirs) {
  std::vector<std::string> names;
  DIR* d = ::opendir(dir.c_str());
  if (!d) return names;
  while (dirent* e = ::readdir(d)) {
    if (e->d_name[0] == '.') continue;
    bool isDir;
    if (e->d_type == DT_DIR) {
      isDir = true;
    } else if (e->d_type == DT_REG) {
      isDir = false;
    } else {
      struct stat st {};
      if (::fstatat(dirfd(d), e->d_name, &st, 0) != 0) continue;
      if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) continue;
      isDir = S_ISDIR(st.st_mode);
    }
    if (isDir == wantDirs) names.emplace_back(e->d_name);
  }
  ::closedir(d);
  return names;
}

}  // namespace

std::string JoinPath(std::string_view a, std::string_view b) {
  std::string out(a);
  if (!out.empty() && out.back() != '/') out += '/';
  out += b;
  return out;
}

std::string DirName(std::string_view path) {
  size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return "";
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

bool MakeDirs(const std::string& path, mode_t mode) {
  if (path.empty()) return false;
  if (IsDirectory(path)) return true;
  std::string parent = DirName(path);
  if (!parent.empty() && parent != path && !IsDirectory(parent)) MakeDirs(parent, mode);
  if (::mkdir(path.c_str(), mode) == 0) return true;
  return errno == EEXIST && IsDirectory(path);
}

bool MakePrivateDir(const std::string& path) {
  if (!MakeDirs(path, 0700)) return false;
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0;
  if (ok && (st.st_mode & 077) != 0) ok = ::fchmod(fd, st.st_mode & 0700) == 0;
  ::close(fd);
  return ok;
}

std::vector<std::string> ListFiles(const std::string& dir) {
  return ListEntries(dir, false);
}
std::vector<std::string> ListDirs(const std::string& dir) {
  return ListEntries(dir, true);
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool PathExists(const std::string& path) {
  return ::access(path.c_str(), F_OK) == 0;
}

int64_t FileSize(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

bool RemoveFile(const std::string& path) {
  return ::unlink(path.c_str()) == 0;
}

bool RenamePath(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0;
}

namespace {

// Writes a temporary file beside `path` and renames it over `path`; `durable` also flushes
// the data before the rename, so the name never stands for a file whose content is not on
// disk yet. (A journalling file system commits renames in the order they were made, so a
// later write never reaches the disk before it.)
bool ReplaceFile(const std::string& path, const void* data, size_t size, mode_t mode,
                 bool durable) {
  std::string dir = DirName(path);
  std::string base = path.substr(dir.empty() ? 0 : dir.size() + 1);
  const std::string pattern = JoinPath(dir.empty() ? "." : dir, "." + base + ".XXXXXX");
  std::string tmpl = pattern;
  int fd = ::mkstemp(tmpl.data());
  if (fd < 0 && errno == ENOENT && !dir.empty() && MakeDirs(dir)) {
    tmpl = pattern;  // a failed mkstemp may have changed the pattern
    fd = ::mkstemp(tmpl.data());
  }
  if (fd < 0) return false;
  // An existing file keeps its permissions; a new one gets `mode`, whatever the umask.
  struct stat st {};
  mode_t finalMode = (::stat(path.c_str(), &st) == 0) ? (st.st_mode & 07777) : mode;
  bool ok = ::fchmod(fd, finalMode) == 0 && WriteAll(fd, static_cast<const char*>(data), size);
  if (durable) ok = ok && ::fdatasync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  if (ok && ::rename(tmpl.c_str(), path.c_str()) == 0) return true;
  ::unlink(tmpl.c_str());
  return false;
}

}  // namespace

bool WriteFileAtomic(const std::string& path, const void* data, size_t size, mode_t mode) {
  return ReplaceFile(path, data, size, mode, false);
}

bool WriteFileDurable(const std::string& path, std::string_view data, mode_t mode) {
  return ReplaceFile(path, data.data(), data.size(), mode, true);
}

std::optional<std::string> ReadWholeFile(const std::string& path, size_t limit) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string out;
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ::close(fd);
      if (n < 0) return std::nullopt;
      return out;
    }
    if (out.size() + static_cast<size_t>(n) > limit) {
      ::close(fd);
      return std::nullopt;
    }
    out.append(buf, static_cast<size_t>(n));
  }
}

long ReadPrefix(const std::string& path, void* buffer, size_t size) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  size_t got = 0;
  char* out = static_cast<char*>(buffer);
  while (got < size) {
    ssize_t n = ::read(fd, out + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  ::close(fd);
  return static_cast<long>(got);
}

long ReadAt(const std::string& path, int64_t offset, void* buffer, size_t size) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  size_t got = 0;
  char* out = static_cast<char*>(buffer);
  while (got < size) {
    ssize_t n = ::pread(fd, out + got, size - got, static_cast<off_t>(offset) + got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return -1;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  ::close(fd);
  return static_cast<long>(got);
}

bool WriteAt(const std::string& path, int64_t offset, const void* data, size_t size) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const char* in = static_cast<const char*>(data);
  size_t done = 0;
  bool ok = true;
  while (done < size) {
    ssize_t n = ::pwrite(fd, in + done, size - done, static_cast<off_t>(offset) + done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    done += static_cast<size_t>(n);
  }
  return (::close(fd) == 0) && ok;
}

bool TruncateFile(const std::string& path, int64_t size) {
  return ::truncate(path.c_str(), static_cast<off_t>(size)) == 0;
}

bool EmptyFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT;
  bool ok = ::ftruncate(fd, 0) == 0;
  return (::close(fd) == 0) && ok;
}

bool OverwriteFile(const std::string& path, std::string_view data, mode_t mode) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, mode);
  if (fd < 0 && errno == ENOENT && MakeDirs(DirName(path))) {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, mode);
  }
  if (fd < 0) return false;
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0 && WriteAll(fd, data.data(), data.size());
  if (ok && st.st_size > static_cast<off_t>(data.size())) {
    ok = ::ftruncate(fd, static_cast<off_t>(data.size())) == 0;
  }
  return (::close(fd) == 0) && ok;
}

bool AppendToFile(const std::string& path, std::string_view data, mode_t mode) {
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, mode);
  if (fd < 0 && errno == ENOENT && MakeDirs(DirName(path))) {
    fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, mode);
  }
  if (fd < 0) return false;
  bool ok = WriteAll(fd, data.data(), data.size());
  ::close(fd);
  return ok;
}

AppendHandle::~AppendHandle() {
  if (fd_ >= 0) ::close(fd_);
}

bool AppendHandle::Append(std::string_view data) {
  if (fd_ >= 0) {
    struct stat st {};
    if (::fstat(fd_, &st) != 0 || st.st_nlink == 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  if (fd_ < 0) {
    fd_ = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, mode_);
    if (fd_ < 0 && errno == ENOENT && MakeDirs(DirName(path_))) {
      fd_ = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, mode_);
    }
    if (fd_ < 0) return false;
  }
  return WriteAll(fd_, data.data(), data.size());
}

std::string MakeTempFile(const std::string& dir, const std::string& prefix) {
  std::string tmpl = JoinPath(dir, prefix + "XXXXXX.tmp");
  int fd = ::mkstemps(tmpl.data(), 4);
  if (fd < 0) return "";
  ::fchmod(fd, 0600);
  ::close(fd);
  return tmpl;
}

std::string ExecutableDir() {
  char buf[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  buf[n] = '\0';
  return DirName(buf);
}

}  // namespace platform
