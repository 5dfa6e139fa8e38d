// VarnPost: sends one alert mail described by a mail job file, then deletes the file.
// Usage: VarnPost <job file> [<user> <password>]. Without user name and password on the
// command line they are read from standard input (two lines), as the agents hand them over.
#include <signal.h>
#include <unistd.h>

#include "mail/compose.h"
#include "mail/job_file.h"
#include "mail/sender.h"
#include "platform/files.h"
#include "platform/process.h"

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  const std::string text = platform::JoinArguments(argc, argv);
  if (text.empty()) return 0;
  mail::CommandLine cmd = mail::ParseCommandLine(text);
  if (cmd.user.empty() && cmd.password.empty())
    mail::ReadLogin(STDIN_FILENO, &cmd.user, &cmd.password);
  // An unreadable or short job file is left where it is for whoever wrote it.
  std::optional<mail::MailJob> job = mail::ReadMailJob(cmd.jobPath);
  if (!job) return 0;
  bool composed = false;
  {
    mail::AlertSender sender(*job, cmd.user, cmd.password, mail::SenderTiming::FromEnvironment());
    sender.Run();
    // Stopped by a shut-down before the job was dealt with: the job file and its attachments
    // stay, as after any other end that did not finish the job, for whoever runs it again.
    if (sender.terminated()) return 0;
    composed = sender.composed();
  }
  // Attachments go only with a message that took them in; a job that never composed one
  // (no recipient) leaves them alone.
  if (composed) mail::DeleteAttachments(*job);
  platform::RemoveFile(cmd.jobPath);
  return 0;
}
