// The exported boundary: caller buffers in, lengths out, no exception past this point.
#include "kanjimap/KANJIMAP.h"

#include <cstring>
#include <string>

#include "kanjimap/convert.h"
#include "kanjimap/detect.h"
#include "platform/files.h"

#define VARN_EXPORT __attribute__((visibility("default")))

namespace {

constexpr char kCr = '\r';

const unsigned char* Bytes(const char* s) {
  return reinterpret_cast<const unsigned char*>(s);
}

// 0 for a null text or a negative length, else the length: what is returned when there is
// nothing to do.
int32_t Unchanged(const char* text, int32_t length) {
  return text && length > 0 ? length : 0;
}

int32_t DetectAndConvert(char* text, int32_t length) {
  if (!text || length <= 0) return Unchanged(text, length);
  const int32_t encoding = kanjimap::DetectEncoding(Bytes(text), static_cast<size_t>(length), true);
  return kanjimap::ConvertBuffer(text, length, encoding);
}

}  // namespace

extern "C" VARN_EXPORT int32_t ConvertToSjis3(char* text, int32_t length) {
  try {
    return DetectAndConvert(text, length);
  } catch (...) {
    return Unchanged(text, length);
  }
}

extern "C" VARN_EXPORT int32_t ConvertToSjis3WithCode(char* text, int32_t length,
                                                      int32_t encoding) {
  try {
    if (!text || length <= 0) return Unchanged(text, length);
    if (encoding == KANJIMAP_GIVEN_UTF16) {
      const bool marked = length >= 2 && Bytes(text)[0] == 0xFF && Bytes(text)[1] == 0xFE;
      const bool bigEndian = length >= 2 && Bytes(text)[0] == 0xFE && Bytes(text)[1] == 0xFF;
      encoding = marked      ? KANJIMAP_UTF16LE_MARKED
                 : bigEndian ? kanjimap::kUtf16BeMarked
                             : KANJIMAP_UTF16LE;
    } else if (encoding != KANJIMAP_UTF8 && encoding != KANJIMAP_UTF7) {
      encoding = kanjimap::DetectEncoding(Bytes(text), static_cast<size_t>(length), false);
    }
    return kanjimap::ConvertBuffer(text, length, encoding);
  } catch (...) {
    return Unchanged(text, length);
  }
}

extern "C" VARN_EXPORT int32_t ConvertToSjisVB(char* text) {
  if (!text) return 0;
  const size_t length = std::strlen(text);
  if (length > INT32_MAX) return 0;
  try {
    const int32_t n = DetectAndConvert(text, static_cast<int32_t>(length));
    std::memset(text + n, 0, length - static_cast<size_t>(n));
    return n;
  } catch (...) {
    return static_cast<int32_t>(length);
  }
}

extern "C" VARN_EXPORT int32_t ConvertFileToSjis(const char* sourcePath, const char* targetPath) {
  try {
    if (!sourcePath || !targetPath) return 0;
    auto content = platform::ReadWholeFile(sourcePath);
    if (!content || content->size() > INT32_MAX - 1) return 0;
    const auto length = static_cast<int32_t>(content->size());
    content->push_back('\0');  // the terminating zero a buffer must have room for
    const int32_t n = DetectAndConvert(content->data(), length);
    return platform::WriteFileAtomic(targetPath, content->data(), static_cast<size_t>(n)) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

extern "C" VARN_EXPORT int32_t RemoveExtraCR(char* text, int32_t length) {
  if (!text || length <= 0) return 0;
  int32_t out = 0;
  for (int32_t i = 0; i < length; ++i) {
    if (text[i] != kCr) {
      text[out++] = text[i];
    } else if (i + 1 < length && text[i + 1] == kCr) {
      text[out++] = kCr;  // of two CRs in a row one remains
      ++i;
    }
  }
  std::memset(text + out, 0, static_cast<size_t>(length - out));
  const void* zero = std::memchr(text, 0, static_cast<size_t>(length));
  return zero ? static_cast<int32_t>(static_cast<const char*>(zero) - text) : length;
}
