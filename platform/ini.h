// Settings files of "[SECTION]" headers and "KEY=value" lines. Section and key names
// compare without regard to case; a missing file, section or key gives the default.
#pragma once

#include <string>

namespace platform {

std::string IniGetString(const std::string& path, const std::string& section,
                         const std::string& key, const std::string& defaultValue);

// The value's leading decimal integer (an optional sign, then digits); the default when
// the key is missing, 0 when the value does not start with a number.
long IniGetInt(const std::string& path, const std::string& section, const std::string& key,
               long defaultValue);

// Sets one key, creating the file, the section or the key as needed; every other line is
// kept. The file is replaced at once (temporary file, then rename).
bool IniSetString(const std::string& path, const std::string& section, const std::string& key,
                  const std::string& value);

}  // namespace platform
