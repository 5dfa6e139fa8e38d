#include "common/record_texts.h"

#include <cstring>

#include "common/file_ops.h"
#include "common/layout.h"

namespace common {
namespace {

// Appends the texts behind the fixed part and returns the offset of each.
std::vector<uint32_t> AppendTexts(std::vector<char>& image,
                                  std::initializer_list<const std::string*> texts) {
  std::vector<uint32_t> offsets;
  for (const std::string* text : texts) {
    offsets.push_back(static_cast<uint32_t>(image.size()));
    image.insert(image.end(), text->begin(), text->end());
    image.push_back('\0');
  }
  return offsets;
}

template <typename Fixed>
Fixed FixedPart(const std::vector<char>& image) {
  Fixed fixed{};
  std::memcpy(&fixed, image.data(), image.size() < sizeof fixed ? image.size() : sizeof fixed);
  return fixed;
}

}  // namespace

std::vector<char> EncodeAccount(const AccountFile& account) {
  std::vector<char> image(sizeof(AccountRecord));
  auto off = AppendTexts(image, {&account.downSubject, &account.upSubject, &account.downBody,
                                 &account.upBody, &account.downOnline, &account.upOnline,
                                 &account.mailAddresses, &account.netSendAddresses});
  AccountRecord rec = account.record;
  rec.downSubjectOffset = off[0];
  rec.upSubjectOffset = off[1];
  rec.downBodyOffset = off[2];
  rec.upBodyOffset = off[3];
  rec.downOnlineOffset = off[4];
  rec.upOnlineOffset = off[5];
  rec.mailAddressesOffset = off[6];
  rec.netSendOffset = off[7];
  std::memcpy(image.data(), &rec, sizeof rec);
  return image;
}

AccountFile DecodeAccount(const std::vector<char>& image) {
  AccountFile a;
  a.record = FixedPart<AccountRecord>(image);
  const AccountRecord& r = a.record;
  a.downSubject = TextAt(image, r.downSubjectOffset);
  a.upSubject = TextAt(image, r.upSubjectOffset);
  a.downBody = TextAt(image, r.downBodyOffset);
  a.upBody = TextAt(image, r.upBodyOffset);
  a.downOnline = TextAt(image, r.downOnlineOffset);
  a.upOnline = TextAt(image, r.upOnlineOffset);
  a.mailAddresses = TextAt(image, r.mailAddressesOffset);
  a.netSendAddresses = TextAt(image, r.netSendOffset);
  return a;
}

AccountFile ReadAccount(const std::string& path, bool* readWhole) {
  return DecodeAccount(ReadRecordImage(path, sizeof(AccountRecord), readWhole));
}

bool WriteAccount(const std::string& path, const AccountFile& account) {
  std::vector<char> image = EncodeAccount(account);
  return WriteWholeFile(path, image.data(), image.size(), 0600) == 1;
}

std::vector<char> EncodeAlert(const AlertFile& alert) {
  std::vector<char> image(sizeof(AlertSettings));
  auto off = AppendTexts(
      image, {&alert.toAddresses, &alert.netSendAddresses, &alert.downSubject, &alert.upSubject,
              &alert.downBody, &alert.upBody, &alert.downOnline, &alert.upOnline});
  AlertSettings s = alert.settings;
  s.toOffset = off[0];
  s.netSendOffset = off[1];
  s.downSubjectOffset = off[2];
  s.upSubjectOffset = off[3];
  s.downBodyOffset = off[4];
  s.upBodyOffset = off[5];
  s.downOnlineOffset = off[6];
  s.upOnlineOffset = off[7];
  std::memcpy(image.data(), &s, sizeof s);
  return image;
}

AlertFile DecodeAlert(const std::vector<char>& image) {
  AlertFile a;
  a.settings = FixedPart<AlertSettings>(image);
  const AlertSettings& s = a.settings;
  a.toAddresses = TextAt(image, s.toOffset);
  a.netSendAddresses = TextAt(image, s.netSendOffset);
  a.downSubject = TextAt(image, s.downSubjectOffset);
  a.upSubject = TextAt(image, s.upSubjectOffset);
  a.downBody = TextAt(image, s.downBodyOffset);
  a.upBody = TextAt(image, s.upBodyOffset);
  a.downOnline = TextAt(image, s.downOnlineOffset);
  a.upOnline = TextAt(image, s.upOnlineOffset);
  return a;
}

AlertFile ReadAlert(const std::string& programDir) {
  return DecodeAlert(ReadRecordImage(AlertPath(programDir), sizeof(AlertSettings)));
}

bool WriteAlert(const std::string& programDir, const AlertFile& alert) {
  std::vector<char> image = EncodeAlert(alert);
  return WriteWholeFile(AlertPath(programDir), image.data(), image.size(), 0600) == 1;
}

bool MailConfigured(const AlertSettings& s) {
  return s.primaryServer[0] != '\0' || s.alternateServer[0] != '\0';
}

AlertAuth ReadAlertAuth(const std::string& programDir) {
  AlertAuth auth{};
  ReadFixedFile(AlertAuthPath(programDir), &auth, sizeof auth);
  if (auth.primaryAuth == 0) auth.primaryUser[0] = auth.primaryPassword[0] = '\0';
  if (auth.alternateAuth == 0) auth.alternateUser[0] = auth.alternatePassword[0] = '\0';
  return auth;
}

bool WriteAlertAuth(const std::string& programDir, const AlertAuth& auth) {
  return WriteWholeFile(AlertAuthPath(programDir), &auth, sizeof auth, 0600) == 1;
}

ScanSettings ReadScanSettings(const std::string& programDir, bool* readOk) {
  ScanSettings s{};
  int ok = ReadFixedFile(ScanSettingsPath(programDir), &s, sizeof s);
  if (readOk) *readOk = ok == 1;
  return s;
}

bool WriteScanSettings(const std::string& programDir, const ScanSettings& settings) {
  return WriteWholeFile(ScanSettingsPath(programDir), &settings, sizeof settings) == 1;
}

ScanSchedule ReadSchedule(const std::string& programDir) {
  ScanSchedule s{};
  ReadFixedFile(SchedulePath(programDir), &s, sizeof s);
  return s;
}

bool WriteSchedule(const std::string& programDir, const ScanSchedule& schedule) {
  return WriteWholeFile(SchedulePath(programDir), &schedule, sizeof schedule) == 1;
}

std::vector<char> EncodeTextBlocks(const std::vector<std::string>& texts) {
  std::vector<char> image(4);
  for (const std::string& text : texts) {
    uint32_t len = static_cast<uint32_t>(text.size() + 1);
    const char* p = reinterpret_cast<const char*>(&len);
    image.insert(image.end(), p, p + 4);
    image.insert(image.end(), text.begin(), text.end());
    image.push_back('\0');
  }
  uint32_t total = static_cast<uint32_t>(image.size());
  std::memcpy(image.data(), &total, 4);
  return image;
}

std::vector<std::string> DecodeTextBlocks(const std::vector<char>& image) {
  std::vector<std::string> texts;
  uint32_t total = 0;
  if (image.size() < 4) return texts;
  std::memcpy(&total, image.data(), 4);
  if (total != image.size()) return texts;
  size_t at = 4;
  while (at < image.size()) {
    uint32_t len = 0;
    if (image.size() - at < 4) return {};
    std::memcpy(&len, image.data() + at, 4);
    at += 4;
    if (len == 0 || len > image.size() - at) return {};
    texts.emplace_back(image.data() + at, strnlen(image.data() + at, len));
    at += len;
  }
  return texts;
}

}  // namespace common
