// The file routines that the console and the agents share for fixed-layout files.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace common {

// Reads exactly `size` bytes from the start of the file (a prefix of a longer file is
// fine). Opening is tried up to 100 times, 10 ms apart. Returns 1 when `size` bytes were
// read; otherwise 0 with the buffer zero-filled (missing, unopenable or short file).
int ReadFixedFile(const std::string& path, void* buffer, size_t size);

// Replaces the file's content with the buffer at once (temporary file and rename), creating
// missing folders. A newly created file gets `mode` whatever the umask (0600 for files that
// hold passwords). Returns 1 on success, 0 when the write failed.
int WriteWholeFile(const std::string& path, const void* buffer, size_t size, mode_t mode = 0644);

// Size in bytes, 0 when missing.
int64_t FileSizeOf(const std::string& path);

// 1 when a plain file or folder of that name exists, else 0.
int FileExists(const std::string& path);

// Number of plain files in a folder, "first.dat" and names starting with "." not counted.
int CountFiles(const std::string& folder);

// Reads a record with variable texts: the whole file when it holds at least `fixedSize`
// bytes, else `fixedSize` + 1 zero bytes (the record then reads as empty and disabled).
// Follows the retry rule of ReadFixedFile. The image always ends with a zero byte so every
// text inside it is terminated. `readWhole` tells whether the fixed part was read.
std::vector<char> ReadRecordImage(const std::string& path, size_t fixedSize,
                                  bool* readWhole = nullptr);

// The text at `offset` in a record image: up to its zero byte; empty when the offset lies
// outside the image.
std::string TextAt(const std::vector<char>& image, uint32_t offset);

// A fixed char field as a string (up to its first zero byte or the field's end).
template <size_t N>
std::string FieldText(const char (&field)[N]) {
  size_t n = 0;
  while (n < N && field[n] != '\0') ++n;
  return std::string(field, n);
}

// Copies a text into a fixed field, cut to N-1 bytes, zero-filling the rest.
template <size_t N>
void SetField(char (&field)[N], const std::string& text) {
  size_t n = text.size() < N - 1 ? text.size() : N - 1;
  for (size_t i = 0; i < N; ++i) field[i] = i < n ? text[i] : '\0';
}

}  // namespace common
