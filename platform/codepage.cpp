#include "platform/codepage.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>

namespace platform {

std::optional<std::string> ConvertText(std::string_view input, const char* from, const char* to) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string out;
  out.resize(input.size() * 4 + 16);
  char* in = const_cast<char*>(input.data());
  size_t inLeft = input.size();
  char* outPtr = out.data();
  size_t outLeft = out.size();
  bool ok = true;
  while (inLeft > 0) {
    if (iconv(cd, &in, &inLeft, &outPtr, &outLeft) != static_cast<size_t>(-1)) continue;
    if (errno == E2BIG) {
      size_t used = out.size() - outLeft;
      out.resize(out.size() * 2);
      outPtr = out.data() + used;
      outLeft = out.size() - used;
      continue;
    }
    ok = false;
    break;
  }
  if (ok && iconv(cd, nullptr, nullptr, &outPtr, &outLeft) == static_cast<size_t>(-1)) ok = false;
  iconv_close(cd);
  if (!ok) return std::nullopt;
  out.resize(out.size() - outLeft);
  return out;
}

std::optional<std::string> ConvertTextReplacing(std::string_view input, const char* from,
                                                const char* to, std::string_view replacement,
                                                size_t inputUnit) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  if (inputUnit == 0) inputUnit = 1;
  std::string out;
  out.resize(input.size() * 4 + 16);
  char* in = const_cast<char*>(input.data());
  size_t inLeft = input.size();
  size_t used = 0;
  auto grow = [&](size_t need) {
    if (out.size() - used < need) out.resize(out.size() * 2 + need);
  };
  while (inLeft > 0) {
    char* outPtr = out.data() + used;
    size_t outLeft = out.size() - used;
    const size_t rc = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
    used = out.size() - outLeft;
    if (rc != static_cast<size_t>(-1)) continue;
    if (errno == E2BIG) {
      grow(64);
      continue;
    }
    // EILSEQ or EINVAL: replace the unit (or the incomplete tail) and go on.
    grow(replacement.size() + 16);
    out.replace(used, replacement.size(), replacement);
    used += replacement.size();
    const size_t skip = errno == EINVAL ? inLeft : std::min(inputUnit, inLeft);
    in += skip;
    inLeft -= skip;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);  // back to the initial shift state
  }
  grow(64);
  char* outPtr = out.data() + used;
  size_t outLeft = out.size() - used;
  iconv(cd, nullptr, nullptr, &outPtr, &outLeft);
  used = out.size() - outLeft;
  iconv_close(cd);
  out.resize(used);
  return out;
}

std::optional<std::string> Cp932ToUtf8(std::string_view cp932) {
  return ConvertText(cp932, "CP932", "UTF-8");
}

std::optional<std::string> Utf8ToCp932(std::string_view utf8) {
  return ConvertText(utf8, "UTF-8", "CP932");
}

}  // namespace platform
