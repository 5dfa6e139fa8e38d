#include "console/account_change.h"

#include <cstdio>
#include <filesystem>
#include <optional>
#include <vector>

#include "common/account_key.h"
#include "common/accounts.h"
#include "common/file_ops.h"
#include "common/layout.h"
#include "common/record_texts.h"
#include "common/status_update.h"
#include "console/account_editing.h"
#include "platform/files.h"
#include "varnindex/VarnIndex.h"

namespace console {
namespace {

constexpr const char* kIntentHead = "KTVarnock account change";
constexpr size_t kMaxIntentBytes = 4096;

struct Intent {
  ChangeKind kind = ChangeKind::kRegister;
  std::string key;
  std::string newKey;
};

const char* KindName(ChangeKind kind) {
  switch (kind) {
    case ChangeKind::kRegister:
      return "register";
    case ChangeKind::kRemove:
      return "remove";
    case ChangeKind::kRename:
      return "rename";
  }
  return "";
}

bool ValidKey(const std::string& key) {
  if (key.empty() || key.size() > 62 || key.size() % 2 != 0) return false;
  return key.find_first_not_of("0123456789abcdef") == std::string::npos;
}

std::string IntentText(const Intent& intent) {
  std::string text = std::string(kIntentHead) + "\n" + KindName(intent.kind) + " " + intent.key;
  if (intent.kind == ChangeKind::kRename) text += " " + intent.newKey;
  return text + "\n";
}

std::optional<Intent> ParseIntent(const std::string& text) {
  const std::string head = std::string(kIntentHead) + "\n";
  if (text.compare(0, head.size(), head) != 0 || text.back() != '\n') return std::nullopt;
  std::vector<std::string> words;
  std::string word;
  for (size_t i = head.size(); i < text.size(); ++i) {
    if (text[i] == ' ' || text[i] == '\n') {
      words.push_back(word);
      word.clear();
    } else {
      word += text[i];
    }
  }
  Intent intent;
  for (ChangeKind kind : {ChangeKind::kRegister, ChangeKind::kRemove, ChangeKind::kRename}) {
    if (!words.empty() && words[0] == KindName(kind)) intent.kind = kind;
  }
  const size_t wanted = intent.kind == ChangeKind::kRename ? 3 : 2;
  if (words.size() != wanted || words[0] != KindName(intent.kind) || !ValidKey(words[1])) {
    return std::nullopt;
  }
  intent.key = words[1];
  if (intent.kind == ChangeKind::kRename) {
    if (!ValidKey(words[2]) || words[2] == words[1]) return std::nullopt;
    intent.newKey = words[2];
  }
  return intent;
}

// The temporary files an atomic write cut short left beside the files of `key`
// (".KEY.XXXXXX"): nothing lists them, so nothing else would ever remove them.
void RemoveLeftoverTemporaries(const std::string& dir, const std::string& key) {
  std::vector<std::string> folders = {common::InDir(dir, common::kAllData),
                                      common::InDir(dir, common::kAccountOptionsDir)};
  for (const char* folder : common::kStatusFolderNames)
    folders.push_back(common::InDir(dir, folder));
  const std::string prefix = "." + key + ".";
  for (const std::string& folder : folders) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
      const std::string name = entry.path().filename().string();
      if (name.size() == prefix.size() + 6 && name.compare(0, prefix.size(), prefix) == 0) {
        platform::RemoveFile(entry.path().string());
      }
    }
  }
}

void RemoveStatusFiles(const std::string& dir, const std::string& key) {
  for (size_t f = 0; f < common::kStatusFolderNames.size(); ++f) {
    common::RemoveStatusRecord(dir, static_cast<common::StatusFolder>(f), key);
  }
}

// Everything of `key` goes: its rows, its status files, its record, its side file.
void Erase(const std::string& dir, const std::string& key) {
  RemoveIndexLinesOf(dir, key);
  RemoveStatusFiles(dir, key);
  platform::RemoveFile(common::AccountPath(dir, key));
  common::RemoveAccountOptions(dir, key);
  RemoveLeftoverTemporaries(dir, key);
}

bool HasWholeRecord(const std::string& dir, const std::string& key) {
  bool whole = false;
  const common::AccountFile a = common::ReadAccount(common::AccountPath(dir, key), &whole);
  return whole && a.record.type <= common::kEmail && common::FieldText(a.record.key) == key;
}

enum class Settled { kWhole, kAbsent, kDamaged };

// Makes the status files and rows of `key` agree with its record: the rows are made again
// from the record (a row of an earlier domain goes), missing status files are created and
// those of checks that are off removed; the status files that stay are left as they are.
// Without a record, whatever is left of the account goes.
Settled Settle(const std::string& dir, const std::string& key) {
  const std::string path = common::AccountPath(dir, key);
  RemoveLeftoverTemporaries(dir, key);
  if (!platform::IsRegularFile(path)) {
    Erase(dir, key);
    return Settled::kAbsent;
  }
  RemoveIndexLinesOf(dir, key);
  if (!HasWholeRecord(dir, key)) {
    // A record no dialog can open keeps no checks; Edit/Delete still lists it.
    RemoveStatusFiles(dir, key);
    return Settled::kDamaged;
  }
  bool whole = false;
  common::RegisterAccountChecks(dir, common::ReadAccount(path, &whole).record);
  return Settled::kWhole;
}

// A change of the store cut short between its writes leaves one row twice; the rows are
// sorted, so each repeat lies next to its first.
void RemoveRepeatedRows(const std::string& dir) {
  const std::string store = common::ListViewDir(dir);
  std::vector<std::string> repeats;
  std::string previous;
  const int n = HowManyRecordInDB(store.c_str());
  for (int i = 0; i < n; ++i) {
    char buf[400] = {};
    if (!GetRecordWithOffset(store.c_str(), buf, i)) continue;
    if (i > 0 && previous == buf) repeats.emplace_back(buf);
    previous = buf;
  }
  for (const std::string& row : repeats) AddDelDat(2, store.c_str(), row.c_str());
}

// Carries out what `intent` left unfinished; the text says what came of it.
std::string Finish(const std::string& dir, const Intent& intent) {
  std::string outcome;
  switch (intent.kind) {
    case ChangeKind::kRegister:
      switch (Settle(dir, intent.key)) {
        case Settled::kWhole:
          outcome = "the account is whole";
          break;
        case Settled::kAbsent:
          outcome = "no record was written; what it left is removed";
          break;
        case Settled::kDamaged:
          outcome = "its record cannot be read; its rows and status files are removed";
          break;
      }
      break;
    case ChangeKind::kRemove:
      Erase(dir, intent.key);
      outcome = "the account is removed";
      break;
    case ChangeKind::kRename:
      // The new record is the point of no return: once written, the old account goes.
      if (HasWholeRecord(dir, intent.newKey)) {
        Erase(dir, intent.key);
        Settle(dir, intent.newKey);
        outcome = "the rename is finished";
      } else {
        Erase(dir, intent.newKey);
        Settle(dir, intent.key);
        outcome = "the rename is undone";
      }
      break;
  }
  RemoveRepeatedRows(dir);
  return outcome;
}

}  // namespace

std::string AccountChangePath(const std::string& dir) {
  return common::InDir(dir, common::kTemp, "accountchange.dat");
}

bool FinishAccountChange(const std::string& dir) {
  const std::string path = AccountChangePath(dir);
  if (!platform::PathExists(path)) return true;
  const std::optional<std::string> text = platform::ReadWholeFile(path, kMaxIntentBytes);
  const std::optional<Intent> intent = text ? ParseIntent(*text) : std::nullopt;
  if (!intent) {
    std::fprintf(stderr, "KTVarnock: %s names no account change; it is removed\n", path.c_str());
    return platform::RemoveFile(path);
  }
  const std::string named = std::string(KindName(intent->kind)) + " " + intent->key +
                            (intent->newKey.empty() ? "" : " to " + intent->newKey);
  const common::LockWaitWatch watch;
  const std::string outcome = Finish(dir, *intent);
  if (watch.TimedOut()) {
    std::fprintf(stderr,
                 "KTVarnock: the account change cut short (%s) could not be finished, a status "
                 "folder is busy; it is tried again before the next change\n",
                 named.c_str());
    return false;
  }
  std::fprintf(stderr, "KTVarnock: an account change was cut short (%s); %s\n", named.c_str(),
               outcome.c_str());
  return platform::RemoveFile(path);
}

AccountChange::~AccountChange() {
  if (!open_) return;
  open_ = false;
  FinishAccountChange(dir_);
}

bool AccountChange::Begin(const std::string& dir, ChangeKind kind, const std::string& key,
                          const std::string& newKey) {
  if (!FinishAccountChange(dir)) return false;
  const std::string path = AccountChangePath(dir);
  if (!platform::WriteFileDurable(path, IntentText({kind, key, newKey}), 0600)) {
    std::fprintf(stderr, "KTVarnock: cannot write %s; the account set was not changed\n",
                 path.c_str());
    return false;
  }
  dir_ = dir;
  watch_ = common::LockWaitWatch();
  open_ = true;
  return true;
}

void AccountChange::End() {
  if (!open_) return;
  open_ = false;
  if (watch_.TimedOut()) {
    std::fprintf(stderr,
                 "KTVarnock: a status folder was busy during an account change; it is finished "
                 "before the next change\n");
    return;
  }
  platform::RemoveFile(AccountChangePath(dir_));
}

}  // namespace console
