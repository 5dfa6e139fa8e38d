// Files and folders. Paths use "/". Every listing passes over names that start with ".",
// which is where whole-file writes keep their work in flight.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// a + "/" + b, without doubling a "/" already at the end of a.
std::string JoinPath(std::string_view a, std::string_view b);

// The folder part of a path ("" when there is none).
std::string DirName(std::string_view path);

// Creates the folder and every missing parent. True when it exists afterwards.
bool MakeDirs(const std::string& path, mode_t mode = 0755);
// A folder only its owner may enter (0700), made with its parents when missing; an
// existing folder that is wider is tightened. A symbolic link is never followed.
bool MakePrivateDir(const std::string& path);

// Names of plain files in a folder, in no particular order; names starting with "." are
// skipped. An unreadable folder lists as empty.
std::vector<std::string> ListFiles(const std::string& dir);

// Names of sub-folders, same rules.
std::vector<std::string> ListDirs(const std::string& dir);

bool IsDirectory(const std::string& path);
bool IsRegularFile(const std::string& path);
bool PathExists(const std::string& path);

// Size in bytes; -1 when the file is missing or unreadable.
int64_t FileSize(const std::string& path);

bool RemoveFile(const std::string& path);
bool RenamePath(const std::string& from, const std::string& to);

// Replaces the file's content at once: the data go to a temporary file whose name starts
// with "." in the same folder, which is then renamed over the target. A reader sees the
// old or the new content, never a mix. Missing folders are created. `mode` applies to a
// newly created file and is enforced whatever the umask.
bool WriteFileAtomic(const std::string& path, const void* data, size_t size, mode_t mode = 0644);
inline bool WriteFileAtomic(const std::string& path, std::string_view data, mode_t mode = 0644) {
  return WriteFileAtomic(path, data.data(), data.size(), mode);
}
// WriteFileAtomic whose data is on disk before the rename: after a power cut the file is
// the old one or the whole new one.
bool WriteFileDurable(const std::string& path, std::string_view data, mode_t mode = 0600);

// Reads a whole file of at most `limit` bytes; nothing when missing, unreadable or larger.
std::optional<std::string> ReadWholeFile(const std::string& path, size_t limit = 64u << 20);

// Reads up to `size` bytes from the start of a file into `buffer`. Returns the count read,
// or -1 when the file cannot be opened.
long ReadPrefix(const std::string& path, void* buffer, size_t size);

// Reads up to `size` bytes at `offset` into `buffer`. Returns the count read (short at the
// end of the file), or -1 when the file cannot be opened or read.
long ReadAt(const std::string& path, int64_t offset, void* buffer, size_t size);

// Writes the bytes at `offset`, in place (the file is created when missing, its folder is
// not). Only for files whose readers take a lock that keeps them out meanwhile.
bool WriteAt(const std::string& path, int64_t offset, const void* data, size_t size);

// Cuts or extends the file to `size` bytes.
bool TruncateFile(const std::string& path, int64_t size);

// Empties the file through a descriptor of its own; a missing file counts as emptied. A
// file cut to nothing by its path stays marked on ext4 to be flushed to the disk at its
// next close, so its next writer would wait for the disk; closing this descriptor takes
// that flush while there is nothing to write.
bool EmptyFile(const std::string& path);

// Makes the file hold exactly `data`: written over its start and cut after it, never cut
// to nothing first (for files rewritten often, see EmptyFile). Creates the file, and its
// folders, when missing.
bool OverwriteFile(const std::string& path, std::string_view data, mode_t mode = 0644);

// Appends the bytes in one write() on an O_APPEND descriptor, so lines appended by several
// processes never interleave. Creates the file (and its folders) when missing.
bool AppendToFile(const std::string& path, std::string_view data, mode_t mode = 0644);

// An append-only descriptor kept open from line to line: each Append is one write() on an
// O_APPEND descriptor, as AppendToFile does, without opening the file every time. A file
// deleted since the last line (the console erasing a log) is created afresh, with its
// folders, so no later line goes to a file nobody can see.
class AppendHandle {
 public:
  explicit AppendHandle(std::string path, mode_t mode = 0644)
      : path_(std::move(path)), mode_(mode) {}
  ~AppendHandle();
  AppendHandle(const AppendHandle&) = delete;
  AppendHandle& operator=(const AppendHandle&) = delete;
  bool Append(std::string_view data);
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  mode_t mode_;
  int fd_ = -1;
};

// Creates a new empty file "<dir>/<prefix>XXXXXX.tmp" with a unique name, readable and
// writable by its owner only. Returns its path, or "" on failure.
std::string MakeTempFile(const std::string& dir, const std::string& prefix);

// The directory of the running executable (from /proc/self/exe).
std::string ExecutableDir();

}  // namespace platform
