#include "agents/framework/mail_job.h"

#include "platform/files.h"

namespace agents {
namespace {

struct NamedCharset {
  const char* name;
  int32_t code;
};

constexpr NamedCharset kCharsets[] = {
    {"US", 0},
    {"ANSI_CHARSET", 0},
    {"HANGEUL_CHARSET", 129},
    {"GB2312_CHARSET", 134},
    {"CHINESEBIG5_CHARSET", 136},
    {"OEM_CHARSET", 255},
    {"JOHAB_CHARSET", 130},
    {"HEBREW_CHARSET", 177},
    {"ARABIC_CHARSET", 178},
    {"GREEK_CHARSET", 161},
    {"TURKISH_CHARSET", 162},
    {"VIETNAMESE_CHARSET", 163},
    {"THAI_CHARSET", 222},
    {"EASTEUROPE_CHARSET", 238},
    {"RUSSIAN_CHARSET", 204},
};

}  // namespace

int32_t CharsetForLanguage(std::string_view name) {
  for (const NamedCharset& entry : kCharsets) {
    if (name == entry.name) return entry.code;
  }
  return kShiftJisCharset;
}

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
