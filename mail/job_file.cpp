#include "mail/job_file.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "platform/files.h"
#include "platform/process.h"

namespace mail {
namespace {

// Largest job file the sender reads; an alert mail is a few kilobytes.
constexpr size_t kMaxJobFile = 64u << 20;
constexpr std::string_view kTlsMagic = "VarnPostTLS1\n";
constexpr size_t kMaxTlsBlock = 8192;

// A value of the TLS block ends at its line: no line end or zero byte gets into one.
std::string_view OneLine(std::string_view text) {
  return text.substr(0, std::min(text.find('\n'), std::min(text.find('\r'), text.find('\0'))));
}

std::string TlsBlock(const TlsOptions& tls) {
  std::string out(kTlsMagic);
  out += tls.implicit ? "MODE=implicit\n" : "MODE=starttls\n";
  out += tls.verify ? "VERIFY=1\n" : "VERIFY=0\n";
  out += "CAFILE=" + std::string(OneLine(tls.caFile)) + "\n";
  out.push_back('\0');
  return out;
}

void ReadTlsBlock(std::string_view block, TlsOptions* tls) {
  block = block.substr(0, std::min(block.find('\0'), kMaxTlsBlock));
  tls->secure = true;
  while (!block.empty()) {
    const size_t eol = block.find('\n');
    const std::string_view line = block.substr(0, eol);
    block = eol == std::string_view::npos ? std::string_view() : block.substr(eol + 1);
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    const std::string_view key = line.substr(0, eq);
    const std::string_view value = line.substr(eq + 1);
    if (key == "MODE") tls->implicit = value == "implicit";
    if (key == "VERIFY") tls->verify = value != "0";
    if (key == "CAFILE") tls->caFile = std::string(value);
  }
}

void PutU32(std::string& out, size_t at, uint32_t v) {
  out[at] = static_cast<char>(v & 0xFF);
  out[at + 1] = static_cast<char>((v >> 8) & 0xFF);
  out[at + 2] = static_cast<char>((v >> 16) & 0xFF);
  out[at + 3] = static_cast<char>((v >> 24) & 0xFF);
}

uint32_t GetU32(std::string_view in, size_t at) {
  const auto* p = reinterpret_cast<const unsigned char*>(in.data() + at);
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

std::string_view UpToZero(const std::string& s) {
  std::string_view v(s);
  return v.substr(0, v.find('\0'));
}

struct TextSlot {
  size_t headField;
  std::string MailJob::*member;
};

// In the order the texts are stored.
constexpr std::array<TextSlot, 10> kSlots = {{
    {job_offsets::kSmtpHost, &MailJob::smtpHost},
    {job_offsets::kPopHost, &MailJob::popHost},
    {job_offsets::kTo, &MailJob::to},
    {job_offsets::kCc, &MailJob::cc},
    {job_offsets::kFrom, &MailJob::from},
    {job_offsets::kReplyTo, &MailJob::replyTo},
    {job_offsets::kSubject, &MailJob::subject},
    {job_offsets::kBody, &MailJob::body},
    {job_offsets::kAttachments, &MailJob::attachments},
    {job_offsets::kLogDestination, &MailJob::logDestination},
}};

}  // namespace

std::string EncodeMailJob(const MailJob& job) {
  std::string out(job_offsets::kTexts, '\0');
  PutU32(out, job_offsets::kCharset, static_cast<uint32_t>(job.charset));
  PutU32(out, job_offsets::kDeleteAfterSending, static_cast<uint32_t>(job.deleteAfterSending));
  PutU32(out, job_offsets::kSmtpPort, static_cast<uint32_t>(job.smtpPort));
  PutU32(out, job_offsets::kPopPort, static_cast<uint32_t>(job.popPort));
  for (const TextSlot& slot : kSlots) {
    std::string_view text = UpToZero(job.*slot.member);
    PutU32(out, slot.headField, static_cast<uint32_t>(out.size()));
    PutU32(out, slot.headField + 4, static_cast<uint32_t>(text.size() + 1));
    out.append(text);
    out.push_back('\0');
  }
  if (job.tls.secure) out += TlsBlock(job.tls);
  return out;
}

bool WriteMailJob(const std::string& path, const MailJob& job) {
  return platform::WriteFileAtomic(path, EncodeMailJob(job), 0600);
}

std::string LogDestinationText(const std::string& logDir, int level, const std::string& mailer) {
  return logDir + "," + std::to_string(level) + "," + mailer;
}

std::optional<MailJob> DecodeMailJob(std::string_view bytes) {
  if (bytes.size() < job_offsets::kTexts) return std::nullopt;
  MailJob job;
  job.charset = static_cast<int32_t>(GetU32(bytes, job_offsets::kCharset));
  job.deleteAfterSending = static_cast<int32_t>(GetU32(bytes, job_offsets::kDeleteAfterSending));
  job.smtpPort = static_cast<int32_t>(GetU32(bytes, job_offsets::kSmtpPort));
  job.popPort = static_cast<int32_t>(GetU32(bytes, job_offsets::kPopPort));
  size_t textsEnd = job_offsets::kTexts;
  for (const TextSlot& slot : kSlots) {
    const uint32_t offset = GetU32(bytes, slot.headField);
    const uint32_t length = GetU32(bytes, slot.headField + 4);
    std::string& text = job.*slot.member;
    if (slot.headField == job_offsets::kAttachments && length < 4) {
      text.clear();  // lengths 1 to 3 count as no attachments
      continue;
    }
    if (offset > bytes.size() || length > bytes.size() - offset) return std::nullopt;
    std::string_view raw = bytes.substr(offset, length);
    text.assign(raw.substr(0, raw.find('\0')));
    textsEnd = std::max<size_t>(textsEnd, size_t{offset} + length);
  }
  if (bytes.substr(textsEnd, kTlsMagic.size()) == kTlsMagic)
    ReadTlsBlock(bytes.substr(textsEnd + kTlsMagic.size()), &job.tls);
  return job;
}

std::optional<MailJob> ReadMailJob(const std::string& path) {
  auto bytes = platform::ReadWholeFile(path, kMaxJobFile);
  if (!bytes) return std::nullopt;
  return DecodeMailJob(*bytes);
}

bool StartMailSender(const std::string& jobPath, const std::string& user,
                     const std::string& password) {
  return platform::SpawnDetached(platform::JoinPath(platform::ExecutableDir(), "VarnPost"),
                                 {jobPath}, user + "\n" + password + "\n");
}

}  // namespace mail
