// Texts between the console's files and the page: the files hold CP932, the page reads and
// sends UTF-8. The API and the form files convert here, at the HTTP boundary.
#pragma once

#include <string>

namespace console {

// CP932 text as UTF-8; bytes that are not valid CP932 show as U+FFFD.
std::string ToUtf8(const std::string& cp932);

// "YYYY/MM/DD hh:mm:ss" for a 14-digit stamp; anything else shows as it is (as UTF-8).
std::string FullStamp(const std::string& stamp);

}  // namespace console
