// The mail job file handed to the alert mail sender: a 96-byte head of little-endian
// 32-bit words (character set, delete flag, then offset and length of each text, with the
// two port numbers in between), followed by the ten texts, each with its zero byte.
//
//   0 charset   4 delete flag   8/12 SMTP host   16 SMTP port   20/24 POP host   28 POP port
//   32/36 To   40/44 Cc   48/52 From   56/60 Reply-To   64/68 Subject   72/76 Body
//   80/84 attachment list   88/92 log destination   96 texts in that order
//
// Lengths count the zero byte (an empty text has length 1); offsets count from the start.
#pragma once

#include <cstdint>
#include <string>

namespace agents {

struct MailJob {
  int32_t charset = 128;
  int32_t deleteAfterSending = 1;
  std::string smtpHost;
  int32_t smtpPort = 25;
  std::string popHost = "dummy";
  int32_t popPort = 110;
  std::string to, cc, from, replyTo, subject, body, attachments, logDestination;
};

constexpr size_t kMailJobHeadSize = 96;

std::string EncodeMailJob(const MailJob& job);

// Creates a new job file "<tempDir>/CONxxxxxx.tmp" (the folder too, when missing), readable
// and writable by its owner only, and writes the job into it. Returns its path, or "" when
// the file could not be made (nothing is left behind then).
std::string WriteMailJobFile(const std::string& tempDir, const MailJob& job);

}  // namespace agents
