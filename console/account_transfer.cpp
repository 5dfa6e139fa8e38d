#include "console/account_transfer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

#include "common/account_key.h"
#include "common/accounts.h"
#include "common/file_ops.h"
#include "common/layout.h"
#include "common/record_texts.h"
#include "common/status_update.h"
#include "console/account_change.h"
#include "console/account_csv.h"
#include "console/account_editing.h"
#include "console/account_rules.h"
#include "console/export_target.h"
#include "platform/files.h"
#include "platform/lock.h"
#include "varnindex/VarnIndex.h"

namespace console {
namespace {

std::string SystemError(const char* what, int err) {
  return std::string(what) + ": " + std::strerror(err);
}

bool WriteAllTo(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void Report(const std::string& dir, const platform::SystemTime& now, const std::string& reason,
            std::string_view line) {
  char head[16];
  std::snprintf(head, sizeof head, "\r\n%02d:%02d:%02d ", now.hour % 100, now.minute % 100,
                now.second % 100);
  std::string entry = head + reason;
  entry.append(line);
  // The rejected line may carry passwords.
  const std::string path = ImportReportPath(dir, now);
  if (!platform::AppendToFile(path, entry, 0600)) {
    std::fprintf(stderr, "KTVarnock: cannot write the import report %s\n", path.c_str());
  }
}

}  // namespace

ExportResult ExportAccounts(const std::string& dir, const std::string& path, bool replace) {
  ExportResult result;
  const std::string folder = common::InDir(dir, common::kAllData);
  if (!platform::IsDirectory(folder)) {
    result.error = "the program directory has no AllData folder";
    return result;
  }
  platform::FileLock lock;
  if (!LockAccountStore(lock, dir)) {
    result.error = "the account list is busy; try again";
    return result;
  }
  ExportTarget target;
  if (!target.Open(dir, path, replace)) {
    result.exists = target.exists();
    result.error = target.error();
    return result;
  }
  const int fd = target.fd();
  std::string chunk;
  bool ok = true;
  for (const std::string& name : platform::ListFiles(folder)) {
    bool whole = false;
    std::vector<char> image =
        common::ReadRecordImage(common::InDir(folder, name), sizeof(common::AccountRecord), &whole);
    if (whole) {
      common::AccountFile account = common::DecodeAccount(image);
      account.options = common::ReadAccountOptions(dir, name, account.record.type).options;
      chunk += AccountCsvLine(account);
    }
    chunk += "\r\n";
    ++result.accounts;
    if (chunk.size() >= (1u << 20)) {
      ok = ok && WriteAllTo(fd, chunk);
      chunk.clear();
    }
  }
  ok = ok && WriteAllTo(fd, chunk);
  if (!ok) {
    // The target stays as it was; what was written is removed.
    result.error = SystemError("cannot write", errno);
    return result;
  }
  if (!target.Commit()) {
    result.error = target.error();
    return result;
  }
  result.ok = true;
  return result;
}

std::string ImportReportPath(const std::string& dir, const platform::SystemTime& now) {
  char name[24];
  std::snprintf(name, sizeof name, "%04d%02d%02d.log", now.year % 10000, now.month % 100,
                now.day % 100);
  return common::InDir(dir, "uploadlog", name);
}

std::string ImportCsvLine(const std::string& dir, std::string_view line,
                          const platform::SystemTime& now, bool* busy, bool unpaced) {
  const std::vector<std::string> fields = SplitCsvFields(line);
  std::string reason = CsvRejection(fields);
  if (!reason.empty()) {
    Report(dir, now, reason, line);
    return reason;
  }
  const common::AccountFile account = AccountFromCsv(fields, dir);
  const std::string key = common::FieldText(account.record.key);
  const std::string path = common::AccountPath(dir, key);
  // A parent not stored yet may come on a later line of the file; a cycle never resolves.
  if (const AccountRule* rule =
          ParentRule(dir, common::DecodeKey(key), account.options.parent, false)) {
    reason = rule->csvReason;
    Report(dir, now, reason, line);
    return reason;
  }

  platform::FileLock lock;
  AccountChange change;
  const common::LockWaitWatch watch;
  if (!LockAccountStore(lock, dir) || !change.Begin(dir, ChangeKind::kRegister, key)) {
    if (busy != nullptr && watch.TimedOut()) {
      *busy = true;  // the line is tried again later
      return "";
    }
    reason = "Account could not be written:";
    Report(dir, now, reason, line);
    return reason;
  }
  const bool existed = platform::IsRegularFile(path);
  if (existed) {
    bool whole = false;
    const common::AccountFile old = common::ReadAccount(path, &whole);
    if (!whole) {
      RemoveIndexLinesOf(dir, key);
    } else if (common::FieldText(old.record.host) != common::FieldText(account.record.host)) {
      // Rows carry the domain: rows of the old domain would stay beside the new ones.
      common::RemoveAccountChecks(dir, key, old.record);
    } else {
      for (int slot = 0; slot < 5; ++slot) {
        const std::string service = common::FieldText(old.record.customNames[slot]);
        if (service.empty() || old.record.customPorts[slot] == 0) continue;
        const std::string row =
            common::CustomIndexLine(key, service, common::FieldText(old.record.host));
        AddDelDat(2, common::ListViewDir(dir).c_str(), row.c_str());
      }
    }
  }
  // The side file before the record, as every save writes them (account_editing.cpp).
  if (!common::WriteAccountOptions(dir, key, account.record.type, account.options) ||
      !common::WriteAccount(path, account)) {
    std::fprintf(stderr, "KTVarnock: cannot write the account record %s or its options\n",
                 path.c_str());
    reason = "Account could not be written:";
    Report(dir, now, reason, line);
    return reason;
  }
  common::RegisterAccountChecks(
      dir, account.record,
      unpaced && !existed ? common::OffChecks::kNoneToRemove : common::OffChecks::kRemove);
  change.End();
  return "";
}

bool AccountImport::Start(std::string text, std::string* errorKey) {
  if (!CsvTextToCp932(&text)) {
    *errorKey = "msgImportNotCp932";
    return false;
  }
  // Lines are counted here and found again one at a time: a file of nothing but line ends
  // costs no table of lines.
  size_t lines = 0;
  size_t pos = 0;
  while (std::optional<std::string_view> line = NextCsvLine(text, &pos)) {
    if (line->size() > kMaxImportLineBytes) {
      *errorKey = "msgImportLineTooLong";
      return false;
    }
    if (++lines > kMaxImportLines) {
      *errorKey = "msgImportTooManyLines";
      return false;
    }
  }
  text_ = std::move(text);
  pos_ = 0;
  total_ = lines;
  done_ = 0;
  rejected_ = 0;
  running_ = true;
  return true;
}

bool AccountImport::Step(const std::string& dir, const platform::SystemTime& now) {
  if (!running_) return false;
  const size_t at = pos_;
  std::optional<std::string_view> line = NextCsvLine(text_, &pos_);
  if (!line) return false;
  bool busy = false;
  const bool rejected = !ImportCsvLine(dir, *line, now, &busy, unpaced_).empty();
  if (busy) {
    pos_ = at;
    return true;
  }
  if (rejected) ++rejected_;
  ++done_;
  return true;
}

void AccountImport::Finish() {
  running_ = false;
  text_.clear();
  text_.shrink_to_fit();
  pos_ = 0;
}

int ExportFromCommandLine(const std::string& dir, const std::string& path, bool replace) {
  ExportResult r = ExportAccounts(dir, path, replace);
  if (r.exists) {
    std::fprintf(stderr,
                 "KTVarnock: %s exists; nothing was exported. Add --replace to replace it.\n",
                 path.c_str());
    return 1;
  }
  if (!r.ok) {
    std::fprintf(stderr, "KTVarnock: nothing was exported to %s: %s\n", path.c_str(),
                 r.error.c_str());
    return 1;
  }
  std::fprintf(stderr, "KTVarnock: %d accounts exported to %s\n", r.accounts, path.c_str());
  return 0;
}

int ImportFromCommandLine(const std::string& dir, const std::string& path, bool paced) {
  auto text = platform::ReadWholeFile(path, kMaxImportBytes);
  if (!text) {
    std::fprintf(stderr, "KTVarnock: cannot read %s (missing, unreadable or over 50 MB)\n",
                 path.c_str());
    return 1;
  }
  AccountImport job;
  job.SetUnpaced(!paced);
  std::string errorKey;
  if (!job.Start(std::move(*text), &errorKey)) {
    if (errorKey == "msgImportTooManyLines") {
      std::fprintf(stderr, "KTVarnock: %s holds more than %zu lines; nothing was imported\n",
                   path.c_str(), kMaxImportLines);
    } else if (errorKey == "msgImportLineTooLong") {
      std::fprintf(stderr,
                   "KTVarnock: %s has a line longer than 1 MB, so it is no account list; nothing "
                   "was imported\n",
                   path.c_str());
    } else {
      std::fprintf(stderr,
                   "KTVarnock: %s is UTF-8 text with characters that cannot be stored (only "
                   "ASCII and Shift-JIS text can); nothing was imported\n",
                   path.c_str());
    }
    return 1;
  }
  platform::MakePrivateDir(common::InDir(dir, common::kAllData));
  platform::MakeDirs(common::InDir(dir, common::kListView));
  const platform::SystemTime start = platform::LocalNow();
  if (paced) {
    std::fprintf(stderr, "KTVarnock: importing %zu lines, one every %d ms (at least %zu s)\n",
                 job.total(), kImportPacingMs, job.total() * kImportPacingMs / 1000);
  } else {
    std::fprintf(stderr, "KTVarnock: importing %zu lines without pauses\n", job.total());
  }
  for (bool first = true; job.done() < job.total(); first = false) {
    if (!first && paced) platform::SleepMs(kImportPacingMs);
    job.Step(dir, platform::LocalNow());
    if (job.done() % 500 == 0 || job.done() == job.total()) {
      std::fprintf(stderr, "\rKTVarnock: %zu of %zu lines, %zu rejected", job.done(), job.total(),
                   job.rejected());
    }
  }
  if (job.total() > 0) std::fprintf(stderr, "\n");
  common::TouchSettingUpdate(dir);
  std::fprintf(stderr, "KTVarnock: Import processing was successful. %zu of %zu lines imported",
               job.total() - job.rejected(), job.total());
  if (job.rejected() > 0) {
    std::fprintf(stderr, "; the rejected lines are in %s", ImportReportPath(dir, start).c_str());
  }
  std::fprintf(stderr, "\n");
  return 0;
}

}  // namespace console
