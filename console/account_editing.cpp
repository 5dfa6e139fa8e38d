#include "console/account_editing.h"

#include <cstdio>
#include <optional>

#include "common/account_key.h"
#include "common/accounts.h"
#include "common/file_ops.h"
#include "common/layout.h"
#include "common/status_update.h"
#include "console/account_change.h"
#include "console/account_rules.h"
#include "console/log_files.h"
#include "platform/files.h"
#include "platform/lock.h"
#include "varnindex/VarnIndex.h"

namespace console {
namespace {

bool ValidKey(const std::string& key) {
  if (key.empty() || key.size() > 62 || key.size() % 2 != 0) return false;
  for (char c : key) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// The side file goes first: the record is what makes a change count (account_change.h), so
// a crash between the two leaves the earlier account whole or the new one with its options.
bool WriteRecord(const std::string& dir, const std::string& key, const common::AccountFile& a) {
  if (!common::WriteAccountOptions(dir, key, a.record.type, a.options)) {
    std::fprintf(stderr, "KTVarnock: cannot write the account options %s\n",
                 common::AccountOptionsPath(dir, key).c_str());
    return false;
  }
  if (common::WriteAccount(common::AccountPath(dir, key), a)) return true;
  std::fprintf(stderr, "KTVarnock: cannot write the account record %s\n",
               common::AccountPath(dir, key).c_str());
  return false;
}

// The custom rows of the old record that the new one no longer lists.
void RemoveDroppedCustomRows(const std::string& dir, const std::string& key,
                             const common::AccountRecord& old, const common::AccountRecord& now) {
  if (!old.customOn) return;
  const std::string host = common::FieldText(old.host);
  for (int i = 0; i < 5; ++i) {
    const std::string name = common::FieldText(old.customNames[i]);
    if (name.empty() || old.customPorts[i] == 0) continue;
    bool kept = false;
    for (int j = 0; j < 5 && now.customOn; ++j) {
      kept = kept || (common::FieldText(now.customNames[j]) == name && now.customPorts[j] != 0);
    }
    if (!kept) {
      const std::string line = common::CustomIndexLine(key, name, host);
      AddDelDat(2, common::ListViewDir(dir).c_str(), line.c_str());
    }
  }
}

}  // namespace

std::string AccountStoreLockPath(const std::string& dir) {
  return platform::NamedLockPath(dir, "AccountStore");
}

bool LockAccountStore(platform::FileLock& lock, const std::string& dir) {
  const common::LockWaitWatch watch;
  // A lock file that cannot be made stops nobody (the change goes ahead, as it always did);
  // only a lock another process holds past the wait does.
  return common::AcquireWithinLockWait(lock, AccountStoreLockPath(dir)) || !watch.TimedOut();
}

std::string AccountRevision(const std::string& dir, const std::string& key) {
  if (!ValidKey(key)) return "";
  const std::optional<std::string> bytes =
      platform::ReadWholeFile(common::AccountPath(dir, key), kMaxRecordBytes);
  if (!bytes) return "";
  // FNV-1a over the whole record: any change of any byte shows.
  uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : *bytes) hash = (hash ^ c) * 1099511628211ull;
  char text[24];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

// The index lines of `key` found by reading the store: for a record that cannot be read,
// whose domain and custom services are unknown.
void RemoveIndexLinesOf(const std::string& dir, const std::string& key) {
  const std::string store = common::ListViewDir(dir);
  std::vector<std::string> lines;
  const int n = HowManyRecordInDB(store.c_str());
  for (int i = 0; i < n; ++i) {
    char buf[400] = {};
    if (!GetRecordWithOffset(store.c_str(), buf, i)) continue;
    const std::string line(buf);
    if (line.compare(0, key.size(), key) == 0 && line.size() > key.size() &&
        (line[key.size()] == '\t' || line[key.size()] == '(')) {
      lines.push_back(line);
    }
  }
  for (const std::string& line : lines) AddDelDat(2, store.c_str(), line.c_str());
}

SaveOutcome SaveAccount(const std::string& dir, const nlohmann::json& body,
                        const common::AlertFile& alert, const std::string& originalKey,
                        const std::string& revision) {
  SaveOutcome out;
  AccountForm form;
  out.error = ParseAccountForm(body, &form);
  if (!out.error.ok()) return out;
  const bool editing = !originalKey.empty();
  if (editing && !ValidKey(originalKey)) {
    out.error = {"msgBadRequest", ""};
    return out;
  }

  platform::FileLock lock;
  if (!LockAccountStore(lock, dir)) {
    out.error = {"msgWriteFailed", ""};
    return out;
  }
  // Another client may have saved, renamed or deleted the account since this dialog loaded
  // it: saving over that would bring it back or keep it twice.
  if (editing && (!platform::IsRegularFile(common::AccountPath(dir, originalKey)) ||
                  (!revision.empty() && AccountRevision(dir, originalKey) != revision))) {
    out.error = {"msgChangedMeanwhile", ""};
    return out;
  }

  const std::string key = common::HexKey(form.name);
  // An empty name has no record to collide with; it gets the blank-name message below.
  if (!key.empty() && (!editing || key != originalKey) &&
      platform::IsRegularFile(common::AccountPath(dir, key))) {
    out.error = {"msgExists", ""};
    return out;
  }
  common::AccountFile stored;
  bool storedWhole = false;
  if (editing) stored = common::ReadAccount(common::AccountPath(dir, originalKey), &storedWhole);
  const common::AccountFile* kept = editing && storedWhole ? &stored : nullptr;
  out.error = ValidateAccountForm(form, kept);
  if (!out.error.ok()) return out;
  if (const AccountRule* rule = ParentRule(dir, form.name, form.parent)) {
    out.error = {rule->messageKey, ""};
    return out;
  }

  common::AccountFile account = BuildAccount(form, dir, alert, kept);
  out.key = key;
  const std::string name = form.name;
  const bool samePath = key == originalKey;
  AccountChange change;
  const bool begun = !editing || samePath
                         ? change.Begin(dir, ChangeKind::kRegister, key)
                         : change.Begin(dir, ChangeKind::kRename, originalKey, key);
  if (!begun) {
    out.error = {"msgWriteFailed", ""};
    return out;
  }
  if (!editing) {
    if (!WriteRecord(dir, key, account)) {
      out.error = {"msgWriteFailed", ""};
      return out;
    }
    common::RegisterAccountChecks(dir, account.record);
    change.End();
    common::TouchSettingUpdate(dir);
    WriteLogLine(dir, 10007, "[Account Created]", name);
    out.written = true;
    return out;
  }

  const bool sameDomain =
      common::FieldText(stored.record.host) == common::FieldText(account.record.host);
  const std::string oldName = common::DecodeKey(originalKey);
  if (samePath && sameDomain) {
    // Custom services start over with fresh status files, as do all checks of the account.
    if (account.record.customOn) {
      common::RemoveAccountChecks(dir, originalKey, stored.record);
    } else {
      RemoveDroppedCustomRows(dir, originalKey, stored.record, account.record);
    }
    if (!WriteRecord(dir, key, account)) {
      out.error = {"msgWriteFailed", ""};
      return out;
    }
    common::RegisterAccountChecks(dir, account.record);
    change.End();
  } else if (samePath) {
    // The domain changed: the old rows go (the record is replaced below, never deleted).
    common::RemoveAccountChecks(dir, originalKey, stored.record);
    if (!WriteRecord(dir, key, account)) {
      out.error = {"msgWriteFailed", ""};
      return out;
    }
    common::RegisterAccountChecks(dir, account.record);
    change.End();
    WriteLogLine(dir, 10009, "[Account Removed]", oldName);
  } else {
    // Renamed: the new account is complete before the old one goes.
    if (!WriteRecord(dir, key, account)) {
      out.error = {"msgWriteFailed", ""};
      return out;
    }
    common::RegisterAccountChecks(dir, account.record);
    common::RemoveAccount(dir, originalKey);
    common::RemoveAccountOptions(dir, originalKey);
    change.End();
    WriteLogLine(dir, 10009, "[Account Removed]", oldName);
  }
  common::TouchSettingUpdate(dir);
  WriteLogLine(dir, 10008, "[Account Modified]", name);
  out.written = true;
  return out;
}

bool DeleteAccount(const std::string& dir, const std::string& key, const std::string& revision,
                   FormError* why) {
  FormError ignored;
  if (why == nullptr) why = &ignored;
  *why = {};
  if (!ValidKey(key)) return false;
  platform::FileLock lock;
  if (!LockAccountStore(lock, dir)) {
    *why = {"msgWriteFailed", ""};
    return false;
  }
  if (!platform::IsRegularFile(common::AccountPath(dir, key)) ||
      (!revision.empty() && AccountRevision(dir, key) != revision)) {
    *why = {"msgChangedMeanwhile", ""};
    return false;
  }
  AccountChange change;
  if (!change.Begin(dir, ChangeKind::kRemove, key)) {
    *why = {"msgWriteFailed", ""};
    return false;
  }
  bool whole = false;
  common::ReadAccount(common::AccountPath(dir, key), &whole);
  if (!whole) RemoveIndexLinesOf(dir, key);
  common::RemoveAccount(dir, key);
  if (!common::RemoveAccountOptions(dir, key)) {
    std::fprintf(stderr, "KTVarnock: cannot remove the account options %s\n",
                 common::AccountOptionsPath(dir, key).c_str());
  }
  change.End();
  common::TouchSettingUpdate(dir);
  WriteLogLine(dir, 10009, "[Account Removed]", common::DecodeKey(key));
  return true;
}

}  // namespace console
