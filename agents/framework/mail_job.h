// Writing the mail job file handed to the alert mail sender (layout in mail/job_file.h).
#pragma once

#include <string>

#include "mail/job_file.h"

namespace agents {

// Creates a new job file "<tempDir>/CONxxxxxx.tmp" (the folder too, when missing), readable
// and writable by its owner only, and writes the job into it. Returns its path, or "" when
// the file could not be made (nothing is left behind then).
std::string WriteMailJobFile(const std::string& tempDir, const mail::MailJob& job);

}  // namespace agents
