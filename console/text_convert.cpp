#include "console/text_convert.h"

#include "platform/codepage.h"

namespace console {

std::string ToUtf8(const std::string& cp932) {
  if (auto u = platform::Cp932ToUtf8(cp932)) return *u;
  // Convert what can be converted, byte by byte for the rest.
  std::string out;
  for (size_t i = 0; i < cp932.size();) {
    size_t len = platform::IsSjisLeadByte(static_cast<unsigned char>(cp932[i])) ? 2 : 1;
    if (auto u = platform::Cp932ToUtf8(cp932.substr(i, len))) {
      out += *u;
    } else {
      out += "\xEF\xBF\xBD";
    }
    i += len;
  }
  return out;
}

std::string FullStamp(const std::string& stamp) {
  if (stamp.size() != 14 || stamp.find_first_not_of("0123456789") != std::string::npos) {
    return ToUtf8(stamp);
  }
  return stamp.substr(0, 4) + "/" + stamp.substr(4, 2) + "/" + stamp.substr(6, 2) + " " +
         stamp.substr(8, 2) + ":" + stamp.substr(10, 2) + ":" + stamp.substr(12, 2);
}

}  // namespace console
