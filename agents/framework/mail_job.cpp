#include "agents/framework/mail_job.h"

#include "platform/files.h"

namespace agents {

std::string WriteMailJobFile(const std::string& tempDir, const mail::MailJob& job) {
  platform::MakeDirs(tempDir);
  std::string path = platform::MakeTempFile(tempDir, "CON");
  if (path.empty()) return "";
  if (!mail::WriteMailJob(path, job)) {
    platform::RemoveFile(path);
    return "";
  }
  return path;
}

}  // namespace agents
