// The mail job file: what a scan agent hands to the alert mail sender (VarnPost) for one
// alert mail. A little-endian binary file: a 4-byte character-set code, a 92-byte head of
// numbers and (offset, length) pairs, then ten zero-terminated texts. Every length counts
// the terminating zero byte, so an empty text has length 1; offsets count from the start
// of the file.
//
// A job whose mail is to go over TLS carries one block more, after the ten texts: the line
// "VarnPostTLS1", then the lines "MODE=starttls" (or "MODE=implicit"), "VERIFY=1" (or 0)
// and "CAFILE=<path>" (may be empty), each ended by LF, and a zero byte. A reader of the
// described layout never looks there; a plain job has no such block and keeps its bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "mail/tls.h"

namespace mail {

// Byte offsets of the head's fields.
namespace job_offsets {
constexpr size_t kCharset = 0;
constexpr size_t kDeleteAfterSending = 4;
constexpr size_t kSmtpHost = 8;  // offset, then length at +4
constexpr size_t kSmtpPort = 16;
constexpr size_t kPopHost = 20;
constexpr size_t kPopPort = 28;
constexpr size_t kTo = 32;
constexpr size_t kCc = 40;
constexpr size_t kFrom = 48;
constexpr size_t kReplyTo = 56;
constexpr size_t kSubject = 64;
constexpr size_t kBody = 72;
constexpr size_t kAttachments = 80;
constexpr size_t kLogDestination = 88;
constexpr size_t kTexts = 96;  // the texts follow in the order above
}  // namespace job_offsets

// The value of the delete-after-sending flag that keeps attachments although non-zero.
constexpr int32_t kKeepAttachments = -99;

struct MailJob {
  int32_t charset = 128;           // Windows character-set code; the agents write 128
  int32_t deleteAfterSending = 1;  // non-zero and not -99: attachments deleted after encoding
  std::string smtpHost;
  int32_t smtpPort = 25;          // the low 16 bits are used
  std::string popHost = "dummy";  // not used by the sender
  int32_t popPort = 110;          // not used by the sender
  std::string to;                 // addresses separated by commas
  std::string cc;
  std::string from;
  std::string replyTo;
  std::string subject;
  std::string body;
  std::string attachments;     // file paths separated by commas
  std::string logDestination;  // "<log dir>,<level>,<mailer name>"
  TlsOptions tls;              // the block after the texts; written only when secure
};

// The file's bytes. A text holding a zero byte is cut there (the reader stops at it anyway).
std::string EncodeMailJob(const MailJob& job);

// Writes the file at `path` (replacing it, created readable and writable by the owner only,
// since it holds alert texts). False when it cannot be written; the target is then left as
// it was.
bool WriteMailJob(const std::string& path, const MailJob& job);

// The log destination text the agents write: the log folder, ",", the level, ",", the
// mailer name ("<dir>/RelayKitLog,1,KT.Varnock").
std::string LogDestinationText(const std::string& logDir, int level, const std::string& mailer);

// Reads the file as the sender does: the code, the head, then each text at its offset with
// exactly its length (the text ends at its first zero byte). The attachment list is read
// only when its length is 4 or more. Nothing when the data are short or a text lies
// outside them. A TLS block right after the last text makes job.tls secure (any MODE but
// "implicit" is STARTTLS; only "VERIFY=0" turns verification off).
std::optional<MailJob> DecodeMailJob(std::string_view bytes);

// Reads and decodes the file; nothing when it is missing, unreadable or short.
std::optional<MailJob> ReadMailJob(const std::string& path);

// Starts VarnPost (beside the running program) for a written job file, detached and never
// waited for. The SMTP user name and password travel on its standard input as two lines,
// never on its command line; empty ones mean no authentication. VarnPost owns and deletes
// the file from then on. True when the program could be started.
bool StartMailSender(const std::string& jobPath, const std::string& user,
                     const std::string& password);

}  // namespace mail
