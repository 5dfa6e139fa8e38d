// The file an export writes: a new file, or an existing regular file that the caller agreed
// to replace, reached without following any symbolic link, and never inside the program
// directory except its own "export.csv". Nothing that exists is written in place: a
// replaced file is written under a temporary name in its folder and renamed over it, so the
// old file's inode (its mode, its other names) is left as it was.
#pragma once

#include <string>

namespace console {

class ExportTarget {
 public:
  ExportTarget() = default;
  ExportTarget(const ExportTarget&) = delete;
  ExportTarget& operator=(const ExportTarget&) = delete;
  // Removes what Open made when Commit was not reached.
  ~ExportTarget();

  // `path`: absolute. Missing folders are made (0755) on the way. False with exists() when
  // the file is there and `replace` is false, else with error() set.
  bool Open(const std::string& programDir, const std::string& path, bool replace);
  // The file to write from its start, mode 0600.
  int fd() const { return fd_; }
  bool exists() const { return exists_; }
  const std::string& error() const { return error_; }
  // Closes the written file and puts it in place. False with error() set.
  bool Commit();

 private:
  bool Fail(std::string why);
  int dirFd_ = -1;
  int fd_ = -1;
  std::string name_;     // the target's name in dirFd_
  std::string written_;  // the name written in dirFd_ (name_, or a temporary name)
  bool exists_ = false;
  std::string error_;
};

}  // namespace console
