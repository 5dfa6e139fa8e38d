#include "common/accounts.h"

#include <cstdio>

#include "common/file_ops.h"
#include "common/layout.h"
#include "common/status_update.h"
#include "platform/files.h"
#include "platform/ini.h"
#include "varnindex/VarnIndex.h"

namespace common {
namespace {

constexpr int kIndexAdd = 1;
constexpr int kIndexDelete = 2;

struct PlainCheck {
  StatusFolder folder;
  bool on;
};

// The checks with one status file, in registration order, around the custom ports.
std::vector<PlainCheck> ChecksBeforeCustom(const AccountRecord& r) {
  return {{StatusFolder::kPing, r.pingOn != 0},
          {StatusFolder::kHttpPort, r.httpPortOn != 0},
          {StatusFolder::kFtpPort, r.ftpPortOn != 0},
          {StatusFolder::kSmtpPort, r.smtpPortOn != 0},
          {StatusFolder::kPopPort, r.popPortOn != 0}};
}
std::vector<PlainCheck> ChecksAfterCustom(const AccountRecord& r) {
  return {{StatusFolder::kHttpPage, r.isHttpPage != 0},
          {StatusFolder::kFtpTransfer, r.isFtpTransfer != 0},
          {StatusFolder::kEmail, r.isEmail != 0}};
}

void Index(const std::string& programDir, int op, const std::string& line) {
  AddDelDat(op, ListViewDir(programDir).c_str(), line.c_str());
}

void RegisterPlain(const std::string& dir, const AccountRecord& r, const PlainCheck& check,
                   OffChecks off) {
  if (!check.on && off == OffChecks::kNoneToRemove) return;
  const std::string key = FieldText(r.key);
  const std::string line = IndexLine(key, check.folder, FieldText(r.host));
  if (check.on) {
    platform::MakeDirs(InDir(dir, FolderName(check.folder)));
    UpdateCheckStatus(dir, check.folder, key, [](CheckStatus& s, bool exists) {
      if (exists) return false;
      s = NewCheckStatus(platform::LocalNow());
      return true;
    });
    Index(dir, kIndexAdd, line);
  } else {
    RemoveStatusRecord(dir, check.folder, key);
    Index(dir, kIndexDelete, line);
  }
}

void RegisterCustom(const std::string& dir, const AccountRecord& r, OffChecks off) {
  if (!r.customOn && off == OffChecks::kNoneToRemove) return;
  const std::string key = FieldText(r.key);
  const std::string host = FieldText(r.host);
  if (r.customOn) {
    UpdateCustomStatus(dir, key, [&](CustomStatus& s, bool exists) {
      if (!exists) {
        s = CustomStatus{};
        for (CheckStatus& slot : s.slots) slot = NewCheckStatus(platform::LocalNow());
      }
      for (int i = 0; i < 5; ++i) {
        SetField(s.names[i], FieldText(r.customNames[i]));
        std::string name = FieldText(r.customNames[i]);
        if (name.empty() || (r.customPorts[i] == 0 && off == OffChecks::kNoneToRemove)) continue;
        Index(dir, r.customPorts[i] != 0 ? kIndexAdd : kIndexDelete,
              CustomIndexLine(key, name, host));
      }
      return true;
    });
  } else {
    RemoveStatusRecord(dir, StatusFolder::kCustom, key);
    for (int i = 0; i < 5; ++i) {
      std::string name = FieldText(r.customNames[i]);
      if (!name.empty() && r.customPorts[i] != 0) {
        Index(dir, kIndexDelete, CustomIndexLine(key, name, host));
      }
    }
  }
}

}  // namespace

std::string IndexLine(const std::string& key, StatusFolder folder, const std::string& host) {
  return key + "\t\t" + FolderName(folder) + "\t\t" + host;
}

std::string CustomIndexLine(const std::string& key, const std::string& service,
                            const std::string& host) {
  return key + "(" + service + ")\t\t" + FolderName(StatusFolder::kCustom) + "\t\t" + host;
}

std::string ListViewDir(const std::string& programDir) {
  return InDir(programDir, kListView);
}

void RegisterAccountChecks(const std::string& dir, const AccountRecord& record, OffChecks off) {
  for (const PlainCheck& c : ChecksBeforeCustom(record)) RegisterPlain(dir, record, c, off);
  RegisterCustom(dir, record, off);
  for (const PlainCheck& c : ChecksAfterCustom(record)) RegisterPlain(dir, record, c, off);
}

CheckCounts CountChecks(const std::string& dir) {
  auto count = [&](StatusFolder f) { return CountFiles(InDir(dir, FolderName(f))); };
  CheckCounts c;
  c.ping = count(StatusFolder::kPing);
  c.port = count(StatusFolder::kHttpPort) + count(StatusFolder::kFtpPort) +
           count(StatusFolder::kSmtpPort) + count(StatusFolder::kPopPort) +
           count(StatusFolder::kCustom);
  c.httpPage = count(StatusFolder::kHttpPage);
  c.ftpTransfer = count(StatusFolder::kFtpTransfer);
  c.email = count(StatusFolder::kEmail);
  return c;
}

void RemoveAccountChecks(const std::string& dir, const std::string& key, const AccountRecord& r) {
  const std::string host = FieldText(r.host);
  for (int f = 0; f < static_cast<int>(kStatusFolderNames.size()); ++f) {
    auto folder = static_cast<StatusFolder>(f);
    RemoveStatusRecord(dir, folder, key);
    if (folder == StatusFolder::kCustom) {
      for (int i = 0; i < 5; ++i) {
        std::string name = FieldText(r.customNames[i]);
        if (!name.empty() && r.customPorts[i] != 0) {
          Index(dir, kIndexDelete, CustomIndexLine(key, name, host));
        }
      }
    } else {
      Index(dir, kIndexDelete, IndexLine(key, folder, host));
    }
  }
}

bool RemoveAccount(const std::string& dir, const std::string& key) {
  bool whole = false;
  AccountFile account = ReadAccount(AccountPath(dir, key), &whole);
  // Rows go before the record, so a removal cut short never leaves a row without a record.
  RemoveAccountChecks(dir, key, account.record);
  platform::RemoveFile(AccountPath(dir, key));
  return whole;
}

std::vector<std::string> ListAccounts(const std::string& dir) {
  std::vector<std::string> names = platform::ListFiles(InDir(dir, kAllData));
  if (names.size() > kMaxAccounts) names.resize(kMaxAccounts);
  return names;
}

int CountAccounts(const std::string& dir) {
  return static_cast<int>(ListAccounts(dir).size());
}

bool TouchSettingUpdate(const std::string& dir) {
  platform::SystemTime t = platform::LocalNow();
  char stamp[16];
  std::snprintf(stamp, sizeof stamp, "%04d%02d%02d%02d%02d", t.year % 10000, t.month % 100,
                t.day % 100, t.hour % 100, t.minute % 100);
  for (int attempt = 0; attempt < 10; ++attempt) {
    if (platform::IniSetString(IniPath(dir), kIniSection, "LASTSETTINGUPDATE", stamp)) return true;
    platform::SleepMs(10);
  }
  return false;
}

}  // namespace common
