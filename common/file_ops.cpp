#include "common/file_ops.h"

#include <cstring>

#include "platform/clock.h"
#include "platform/files.h"

namespace common {
namespace {

constexpr int kOpenTries = 100;
constexpr int kOpenPauseMs = 10;

// Reads up to `size` bytes, retrying the open as the readers' rule says. -1 when the
// file could never be opened or is missing.
long ReadWithRetry(const std::string& path, void* buffer, size_t size) {
  for (int attempt = 0; attempt < kOpenTries; ++attempt) {
    long got = platform::ReadPrefix(path, buffer, size);
    if (got >= 0) return got;
    if (!platform::PathExists(path)) return -1;  // missing: retrying cannot help
    platform::SleepMs(kOpenPauseMs);
  }
  return -1;
}

}  // namespace

int ReadFixedFile(const std::string& path, void* buffer, size_t size) {
  long got = ReadWithRetry(path, buffer, size);
  if (got == static_cast<long>(size)) return 1;
  std::memset(buffer, 0, size);
  return 0;
}

int WriteWholeFile(const std::string& path, const void* buffer, size_t size, mode_t mode) {
  return platform::WriteFileAtomic(path, buffer, size, mode) ? 1 : 0;
}

int64_t FileSizeOf(const std::string& path) {
  int64_t size = platform::FileSize(path);
  return size < 0 ? 0 : size;
}

int FileExists(const std::string& path) {
  return platform::PathExists(path) ? 1 : 0;
}

int CountFiles(const std::string& folder) {
  int count = 0;
  for (const std::string& name : platform::ListFiles(folder)) {
    if (name != "first.dat") ++count;
  }
  return count;
}

std::vector<char> ReadRecordImage(const std::string& path, size_t fixedSize, bool* readWhole) {
  if (readWhole) *readWhole = false;
  int64_t size = platform::FileSize(path);
  if (size < static_cast<int64_t>(fixedSize)) return std::vector<char>(fixedSize + 1, '\0');
  // The record may change between the size query and the read; take what is there.
  std::vector<char> image(static_cast<size_t>(size) + 1, '\0');
  long got = ReadWithRetry(path, image.data(), static_cast<size_t>(size));
  if (got < static_cast<long>(fixedSize)) return std::vector<char>(fixedSize + 1, '\0');
  image.resize(static_cast<size_t>(got) + 1);
  image.back() = '\0';
  if (readWhole) *readWhole = true;
  return image;
}

std::string TextAt(const std::vector<char>& image, uint32_t offset) {
  if (offset >= image.size()) return "";
  const char* start = image.data() + offset;
  size_t max = image.size() - offset;
  size_t n = strnlen(start, max);
  return std::string(start, n);
}

}  // namespace common
