// A fresh folder per test, removed with everything in it at the end.
#pragma once

#include <string>

namespace testsupport {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + relative
  std::string operator/(const std::string& relative) const;

 private:
  std::string path_;
};

// Writes a file (creating folders); fails the calling test when it cannot.
void WriteFile(const std::string& path, const std::string& content);
// The file's bytes, or "" when it is missing.
std::string ReadFile(const std::string& path);

}  // namespace testsupport
