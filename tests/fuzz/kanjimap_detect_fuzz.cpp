// Encoding detection and the conversions to Shift-JIS on fuzzed bytes. Each conversion gets
// a buffer of exactly the length plus the terminating zero, so the sanitizers see any write
// past it, and must not make the text longer.
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "kanjimap/KANJIMAP.h"
#include "kanjimap/detect.h"

namespace {

std::vector<char> Buffer(const uint8_t* data, size_t size) {
  std::vector<char> b(size + 1, 0);
  if (size > 0) std::memcpy(b.data(), data, size);
  return b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  const int32_t length = static_cast<int32_t>(size);
  for (bool guess : {false, true}) {
    const int32_t code = kanjimap::DetectEncoding(data, size, guess);
    // The exported codes, or the big-endian UTF-16 codes that never leave the library.
    FUZZ_CHECK((code >= KANJIMAP_SJIS_OR_ASCII && code <= KANJIMAP_UTF7) ||
               code == kanjimap::kUtf16Be || code == kanjimap::kUtf16BeMarked);
  }
  {
    std::vector<char> b = Buffer(data, size);
    const int32_t n = ConvertToSjis3(b.data(), length);
    FUZZ_CHECK(n >= 0 && n <= length);
  }
  for (int32_t encoding : {KANJIMAP_GIVEN_UTF16, KANJIMAP_UTF8, KANJIMAP_UTF7, KANJIMAP_EUC_JP}) {
    std::vector<char> b = Buffer(data, size);
    const int32_t n = ConvertToSjis3WithCode(b.data(), length, encoding);
    FUZZ_CHECK(n >= 0 && n <= length);
  }
  {
    std::vector<char> b = Buffer(data, size);
    const size_t before = std::strlen(b.data());
    const int32_t n = ConvertToSjisVB(b.data());
    FUZZ_CHECK(n >= 0 && static_cast<size_t>(n) <= before);
    for (size_t i = static_cast<size_t>(n); i < before; ++i) FUZZ_CHECK(b[i] == 0);
  }
  {
    std::vector<char> b = Buffer(data, size);
    const int32_t n = RemoveExtraCR(b.data(), length);
    FUZZ_CHECK(n >= 0 && n <= length);
  }
  return 0;
}
