#include "support/temp_dir.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "platform/files.h"

namespace testsupport {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/varn-test-XXXXXX";
  if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string TempDir::operator/(const std::string& relative) const {
  return platform::JoinPath(path_, relative);
}

void WriteFile(const std::string& path, const std::string& content) {
  platform::MakeDirs(platform::DirName(path));
  if (!platform::WriteFileAtomic(path, content)) throw std::runtime_error("cannot write " + path);
}

std::string ReadFile(const std::string& path) {
  return platform::ReadWholeFile(path).value_or("");
}

}  // namespace testsupport
