// Writing the mail job file handed to the alert mail sender (layout in mail/job_file.h).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "mail/job_file.h"

namespace agents {

// The language name the agents hand to the mail launcher.
inline constexpr const char* kAlertMailLanguage = "JP";
// The character set that asks for Shift-JIS texts.
inline constexpr int32_t kShiftJisCharset = 128;

// The character-set code of a mail job for a language or character-set name ("US" and
// "ANSI_CHARSET" 0, "HANGEUL_CHARSET" 129, ... ); any other name, "JP" included, gives 128.
int32_t CharsetForLanguage(std::string_view name);

// Creates a new job file "<tempDir>/CONxxxxxx.tmp" (the folder too, when missing), readable
// and writable by its owner only, and writes the job into it. Returns its path, or "" when
// the file could not be made (nothing is left behind then).
std::string WriteMailJobFile(const std::string& tempDir, const mail::MailJob& job);

}  // namespace agents
