// A private folder under /tmp for one fuzz process, removed when the process exits.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

#include "fuzz_check.h"

namespace fuzzpeer {

inline const std::string& FuzzTempDir(const char* name) {
  static std::string* dir = [name] {
    std::string pattern = std::string("/tmp/varn-fuzz-") + name + "-XXXXXX";
    FUZZ_CHECK(::mkdtemp(pattern.data()) != nullptr);
    auto* path = new std::string(pattern);
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(*dir, ignored);
    });
    return path;
  }();
  return *dir;
}

}  // namespace fuzzpeer
