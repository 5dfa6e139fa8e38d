#include "mail/compose.h"

#include <strings.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>

#include "mail/addresses.h"
#include "mail/encoders.h"
#include "mail/header_text.h"
#include "mail/jis.h"
#include "platform/codepage.h"
#include "platform/files.h"

namespace mail {
namespace {

constexpr const char* kWeekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr char kBoundarySet[] =
    "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ'()+_,-./:=?";
static_assert(sizeof kBoundarySet - 1 == 74);
constexpr char kBoundaryPrefix[] = "=_ Boundary ";
constexpr size_t kBoundaryLength = 29;
constexpr size_t kBase64LineBytes = 51;
constexpr size_t kMaxAttachmentPath = 259;
constexpr size_t kMaxAttachmentSize = 64u << 20;

unsigned long g_messageCounter = 0;

unsigned DefaultRandom() {
  static std::mt19937 engine{std::random_device{}()};
  return static_cast<unsigned>(engine());
}

enum class PartKind { kGif, kJpeg, kForwarded, kOther, kSkip };

// A header text on one line: a line break inside it would end the header block early and
// push what follows into the body, so CR LF, CR and LF each become one blank.
std::string OneLine(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' || text[i] == '\n') {
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      out.push_back(' ');
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

std::string BaseName(const std::string& path) {
  size_t start = 0;
  for (size_t i = 0; i < path.size(); ++i) {
    if (platform::IsSjisLeadByte(static_cast<unsigned char>(path[i])) && i + 1 < path.size()) {
      ++i;
      continue;
    }
    if (path[i] == '/') start = i + 1;
  }
  return path.substr(start);
}

bool ExtensionStarts(const std::string& ext, const char* word) {
  return strncasecmp(ext.c_str(), word, std::strlen(word)) == 0;
}

std::string Extension(const std::string& path) {
  const std::string base = BaseName(path);
  const size_t dot = base.rfind('.');
  return dot == std::string::npos ? std::string() : base.substr(dot + 1);
}

PartKind KindOf(const std::string& path, const std::optional<std::string>& content) {
  const std::string ext = Extension(path);
  if (ExtensionStarts(ext, "gif")) return PartKind::kGif;
  if (ExtensionStarts(ext, "jpg") || strcasecmp(ext.c_str(), "jpeg") == 0) return PartKind::kJpeg;
  if (ExtensionStarts(ext, "fwd")) return PartKind::kForwarded;
  if (!content) return PartKind::kSkip;
  if (content->compare(0, 3, "GIF") == 0) return PartKind::kGif;
  return PartKind::kOther;
}

void AppendBase64Lines(std::string& out, const std::string& data) {
  for (size_t i = 0; i < data.size(); i += kBase64LineBytes) {
    out += Base64Encode(std::string_view(data).substr(i, kBase64LineBytes));
    out += '\n';
  }
}

void AppendAttachment(std::string& out, const std::string& path, int charset,
                      const std::string& boundary) {
  const std::optional<std::string> content =
      path.empty() ? std::nullopt
                   : platform::ReadWholeFile(AttachmentFilePath(path), kMaxAttachmentSize);
  const PartKind kind = KindOf(path, content);
  if (kind == PartKind::kSkip) return;
  if (kind == PartKind::kForwarded) {
    out += "\n--" + boundary + "\n";
    out += "Content-Type: message/rfc822\n";
    out += "Content-Transfer-Encoding: 7bit\n";
    out += "Content-Disposition: inline\n\n";
    if (content) {
      // Stored line ends become the message's own.
      for (size_t i = 0; i < content->size(); ++i) {
        if ((*content)[i] == '\r' && i + 1 < content->size() && (*content)[i + 1] == '\n') continue;
        out.push_back((*content)[i]);
      }
    }
    return;
  }
  if (!content) return;  // an image named by its extension that cannot be read
  const std::string name = EncodeHeaderText(BaseName(path), charset);
  out += "\n--" + boundary + "\n";
  switch (kind) {
    case PartKind::kGif:
      out += "Content-Type: image/gif; name=";
      break;
    case PartKind::kJpeg:
      out += "Content-Type: image/jpeg; name=";
      break;
    default:
      out += "Content-Type: application/octet-stream; name=";
      break;
  }
  out += "\"" + name + "\"\n";
  out += "Content-Transfer-Encoding: base64\n";
  out += kind == PartKind::kOther ? "Content-Disposition: attachment; filename="
                                  : "Content-Disposition: inline; filename=";
  out += "\"" + name + "\"\n\n";
  AppendBase64Lines(out, *content);
}

void AppendBodyPart(std::string& out, const MailJob& job) {
  const bool eightBit = HasEightBit(job.body);
  const char* charset = "us-ascii";
  const char* encoding = "7bit";
  if (job.charset == 128) {
    charset = "iso-2022-jp";
  } else if (eightBit) {
    charset = CharsetName(job.charset);
    if (UsesQuotedPrintable(job.charset)) encoding = "quoted-printable";
  }
  out += std::string("Content-Type: text/plain; charset=") + charset + "\n";
  out += std::string("Content-Transfer-Encoding: ") + encoding + "\n\n";
  if (!eightBit || std::string_view(charset) == "us-ascii")
    out += job.body;
  else if (job.charset == 128)
    out += SjisToIso2022Jp(job.body);
  else
    out += QuotedPrintableEncode(job.body);
  out += "\n";
}

}  // namespace

std::string SystemTempDir() {
  const char* dir = std::getenv("TMPDIR");
  return dir != nullptr && *dir != '\0' ? std::string(dir) : std::string("/tmp");
}

std::string FormatDate(int year, int month, int day, int weekday, int hour, int minute, int second,
                       std::optional<long> offsetMinutes) {
  char zone[32];
  if (offsetMinutes) {
    const long m = *offsetMinutes;
    // A zero offset is written "+0000" (UTC is the local zone, not an unknown one).
    std::snprintf(zone, sizeof zone, " %s%02ld%02ld", m >= 0 ? "+" : "-",
                  (m < 0 ? -m : m) / 60 % 100, (m < 0 ? -m : m) % 60);
  } else {
    std::snprintf(zone, sizeof zone, "error");
  }
  char out[96];
  std::snprintf(out, sizeof out, "%s, %02d %s %02d %02d:%02d:%02d %s",
                kWeekdays[(weekday % 7 + 7) % 7], day, kMonths[(month + 11) % 12], year, hour,
                minute, second, zone);
  return out;
}

std::string FormatMessageId(int month, int day, int year, int hour, int minute, int second,
                            int milliseconds, unsigned long counter, const std::string& localHost,
                            const std::string& smtpHost) {
  std::string digits;
  for (size_t i = 0; i < localHost.size() && i < 5; ++i) {
    char two[4];
    std::snprintf(two, sizeof two, "%02d", static_cast<unsigned char>(localHost[i]) % 100);
    digits += two;
  }
  char head[64];
  std::snprintf(head, sizeof head, "%02d%02d%02d%02d%02d%02d%03d.%lu.", month, day, year, hour,
                minute, second, milliseconds, counter);
  return head + digits + "@" + smtpHost;
}

std::string MakeBoundary(int milliseconds, unsigned (*random)()) {
  std::string out = kBoundaryPrefix;
  for (size_t i = out.size(); i < kBoundaryLength; ++i) {
    const unsigned long pick =
        static_cast<unsigned long>(milliseconds) + (random() % 100) * 3 + 2 * i;
    out.push_back(kBoundarySet[pick % 74]);
  }
  return out;
}

MessageStamp NewStamp(const std::string& smtpHost) {
  timeval now{};
  gettimeofday(&now, nullptr);
  tm local{};
  const time_t seconds = now.tv_sec;
  const bool haveZone = localtime_r(&seconds, &local) != nullptr;
  const int ms = static_cast<int>(now.tv_usec / 1000);
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
  MessageStamp stamp;
  stamp.date = FormatDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_wday,
                          local.tm_hour, local.tm_min, local.tm_sec,
                          haveZone ? std::optional<long>(local.tm_gmtoff / 60) : std::nullopt);
  stamp.messageId =
      FormatMessageId(local.tm_mon + 1, local.tm_mday, local.tm_year + 1900, local.tm_hour,
                      local.tm_min, local.tm_sec, ms, g_messageCounter++, host, smtpHost);
  stamp.boundary = MakeBoundary(ms, DefaultRandom);
  return stamp;
}

std::vector<std::string> AttachmentPaths(const std::string& list) {
  std::vector<std::string> out;
  if (list.empty()) return out;
  size_t start = 0;
  for (;;) {
    while (start < list.size() && list[start] == ' ') ++start;
    size_t comma = list.find(',', start);
    const size_t end = comma == std::string::npos ? list.size() : comma;
    std::string entry = list.substr(start, end - start);
    if (entry.size() > kMaxAttachmentPath) entry.clear();
    out.push_back(entry);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return out;
}

std::string BuildMessage(const MailJob& job, const std::string& mailer, const MessageStamp& stamp) {
  std::string out;
  out.reserve(job.body.size() * 3 / 2 + 1024);
  out += "Date: " + stamp.date + "\n";
  if (!job.from.empty()) out += "From: " + AddressHeaderText(OneLine(job.from), job.charset) + "\n";
  if (!job.replyTo.empty())
    out += "Reply-To: " + AddressHeaderText(OneLine(job.replyTo), job.charset) + "\n";
  out += "X-Mailer: " + OneLine(mailer) + "\n";
  out += "MIME-Version: 1.0\n";
  out += "To: " + AddressHeaderText(OneLine(job.to), job.charset) + "\n";
  if (!job.cc.empty()) out += "Cc: " + AddressHeaderText(OneLine(job.cc), job.charset) + "\n";
  out += "Subject: " + EncodeHeaderText(OneLine(job.subject), job.charset) + "\n";
  out += "Message-ID: <" + stamp.messageId + ">\n";
  const std::vector<std::string> attachments = AttachmentPaths(job.attachments);
  if (attachments.empty()) {
    AppendBodyPart(out, job);
    return out;
  }
  out += "Content-Type: multipart/mixed;\n";
  out += "    boundary=\"" + stamp.boundary + "\"\n\n\n";
  out += "--" + stamp.boundary + "\n";
  AppendBodyPart(out, job);
  for (const std::string& path : attachments)
    AppendAttachment(out, path, job.charset, stamp.boundary);
  out += "\n--" + stamp.boundary + "--\n";
  return out;
}

ComposeStatus ComposeMessage(const MailJob& job, const std::string& mailer,
                             const std::string& tempDir, ComposedMail* out) {
  // A line break must not reach an SMTP command either.
  out->recipients = EnvelopeRecipients(OneLine(job.to), OneLine(job.cc));
  if (out->recipients.empty()) return ComposeStatus::kNoRecipients;
  out->sender = EnvelopeSender(OneLine(job.from));
  const std::string dir = tempDir.empty() ? SystemTempDir() : tempDir;
  platform::MakeDirs(dir);
  out->path = platform::MakeTempFile(dir, "MAIL");
  if (out->path.empty()) return ComposeStatus::kCannotWrite;
  const std::string text = BuildMessage(job, mailer, NewStamp(job.smtpHost));
  // Stored with CR LF line ends.
  std::string stored;
  stored.reserve(text.size() + text.size() / 32 + 16);
  for (char c : text) {
    if (c == '\n') stored.push_back('\r');
    stored.push_back(c);
  }
  std::FILE* f = std::fopen(out->path.c_str(), "wb");
  bool ok = f != nullptr;
  if (ok) ok = std::fwrite(stored.data(), 1, stored.size(), f) == stored.size();
  if (f != nullptr && std::fclose(f) != 0) ok = false;
  if (!ok) {
    platform::RemoveFile(out->path);
    out->path.clear();
    return ComposeStatus::kCannotWrite;
  }
  return ComposeStatus::kComposed;
}

std::string AttachmentFilePath(const std::string& path) {
  if (!HasEightBit(path)) return path;
  std::optional<std::string> utf8 = platform::Cp932ToUtf8(path);
  if (utf8 && platform::PathExists(*utf8)) return *utf8;
  return path;  // not CP932, or a file whose name is stored in the job's bytes as they are
}

void DeleteAttachments(const MailJob& job) {
  const bool deleteAll = job.deleteAfterSending != 0 && job.deleteAfterSending != kKeepAttachments;
  for (const std::string& path : AttachmentPaths(job.attachments)) {
    if (path.empty()) continue;
    if (deleteAll || ExtensionStarts(Extension(path), "fwd"))
      platform::RemoveFile(AttachmentFilePath(path));
  }
}

}  // namespace mail
