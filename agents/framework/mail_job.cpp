#include "agents/framework/mail_job.h"

#include <cstring>

#include "platform/files.h"

namespace agents {
namespace {

void PutWord(std::string& image, size_t offset, uint32_t value) {
  for (int i = 0; i < 4; ++i) image[offset + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

}  // namespace

std::string EncodeMailJob(const MailJob& job) {
  std::string image(kMailJobHeadSize, '\0');
  PutWord(image, 0, static_cast<uint32_t>(job.charset));
  PutWord(image, 4, static_cast<uint32_t>(job.deleteAfterSending));
  PutWord(image, 16, static_cast<uint32_t>(job.smtpPort));
  PutWord(image, 28, static_cast<uint32_t>(job.popPort));
  struct Slot {
    size_t headOffset;
    const std::string* text;
  };
  const Slot slots[] = {{8, &job.smtpHost},  {20, &job.popHost},  {32, &job.to},
                        {40, &job.cc},       {48, &job.from},     {56, &job.replyTo},
                        {64, &job.subject},  {72, &job.body},     {80, &job.attachments},
                        {88, &job.logDestination}};
  for (const Slot& slot : slots) {
    // A text is written up to its first zero byte, as a reader of the file sees it.
    size_t length = strnlen(slot.text->c_str(), slot.text->size());
    PutWord(image, slot.headOffset, static_cast<uint32_t>(image.size()));
    PutWord(image, slot.headOffset + 4, static_cast<uint32_t>(length + 1));
    image.append(slot.text->data(), length);
    image.push_back('\0');
  }
  return image;
}

std::string WriteMailJobFile(const std::string& tempDir, const MailJob& job) {
  platform::MakeDirs(tempDir);
  std::string path = platform::MakeTempFile(tempDir, "CON");
  if (path.empty()) return "";
  if (!platform::WriteFileAtomic(path, EncodeMailJob(job), 0600)) {
    platform::RemoveFile(path);
    return "";
  }
  return path;
}

}  // namespace agents
