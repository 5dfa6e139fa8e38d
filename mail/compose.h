// Composition of an alert mail: the SMTP envelope and the complete Internet message,
// written to a temporary file for the SMTP client.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "mail/job_file.h"

namespace mail {

// What changes from one composition to the next.
struct MessageStamp {
  std::string date;       // "Tue, 08 Dec 2026 15:42:30  +0900"
  std::string messageId;  // without the angle brackets
  std::string boundary;   // 29 characters
};

// The local time and zone now, the next message ID for `smtpHost`, a fresh boundary.
MessageStamp NewStamp(const std::string& smtpHost);

// "%s, %02d %s %02d %02d:%02d:%02d %s": weekday, day, month, year, time and the zone text
// " +hhmm" / " -hhmm" (so two blanks stand before the offset), or "error" when the zone
// is unknown. `offsetMinutes` is the local offset east of UTC.
std::string FormatDate(int year, int month, int day, int weekday, int hour, int minute, int second,
                       std::optional<long> offsetMinutes);

// "%02d%02d%02d%02d%02d%02d%03d.%lu.%s@%s": month, day, year, hour, minute, second,
// milliseconds, the counter, the first five characters of the local host name each as
// two digits (code modulo 100), and the SMTP host.
std::string FormatMessageId(int month, int day, int year, int hour, int minute, int second,
                            int milliseconds, unsigned long counter, const std::string& localHost,
                            const std::string& smtpHost);

// "=_ Boundary " and 17 characters of the boundary set, each picked by the milliseconds,
// a pseudo-random number (`random`, called once per character) and its position.
std::string MakeBoundary(int milliseconds, unsigned (*random)());

// The message text, lines ending in "\n". `mailer` is the X-Mailer value to use when the
// job names none. Attachments that cannot be read are skipped.
std::string BuildMessage(const MailJob& job, const std::string& mailer, const MessageStamp& stamp);

struct ComposedMail {
  std::string path;                     // the temporary message file (lines end in CR LF)
  std::string sender;                   // envelope sender
  std::vector<std::string> recipients;  // To entries, then Cc entries
};

enum class ComposeStatus { kComposed, kNoRecipients, kCannotWrite };

// Derives the envelope and writes the message into a new file "MAIL*.tmp" in `tempDir`
// (created when missing; the system temporary directory when empty). Nothing is written
// when neither To nor Cc yields a recipient.
ComposeStatus ComposeMessage(const MailJob& job, const std::string& mailer,
                             const std::string& tempDir, ComposedMail* out);

// The attachment list split at commas (blanks before an entry skipped, an entry of more
// than 259 characters left empty).
std::vector<std::string> AttachmentPaths(const std::string& list);

// The file to open for an attachment path of a job: job texts are CP932 and the file
// system's names UTF-8, so a path with Shift-JIS characters names the file of its UTF-8
// form; when no such file exists (or the path is no CP932) the bytes as they are.
std::string AttachmentFilePath(const std::string& path);

// Deletes the job's attachments once the mail is done with: every file when the
// delete-after-sending flag is non-zero and not -99, and forwarded messages (".fwd") always.
void DeleteAttachments(const MailJob& job);

// The system's temporary directory ($TMPDIR, else /tmp).
std::string SystemTempDir();

}  // namespace mail
