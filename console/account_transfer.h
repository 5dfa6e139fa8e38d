// Moving the account list in and out of a program directory: the export of every account
// to a CSV file (account_csv.h) and the import of such a file, line by line, with the
// rejection report "uploadlog/YYYYMMDD.log".
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"

namespace console {

// The largest file an import reads, from the page or from a path.
constexpr size_t kMaxImportBytes = 50u << 20;
// The most lines an import takes (the list holds at most 30,000 accounts); a file with
// more is refused before anything is imported.
constexpr size_t kMaxImportLines = 100000;
// The longest line an import takes: an exported line stays far below it (its texts are
// bounded), so a longer one means the file is no account list.
constexpr size_t kMaxImportLineBytes = 1u << 20;
// The pause between two imported lines.
constexpr int kImportPacingMs = 30;

struct ExportResult {
  bool ok = false;
  bool exists = false;  // the file is there and was not to be replaced; nothing written
  int accounts = 0;
  std::string error;  // why the file could not be written (CP932 path, system text)
};

// Writes one CSV line per plain file of AllData to `path` (absolute; a record that cannot
// be read gives an empty line). The file holds passwords: it is created 0600. The path is
// refused when any part of it is a symbolic link, when it lies inside the program
// directory (its own "export.csv" excepted), and when it names anything but a regular file
// with no other hard link; an existing file is replaced only with `replace` (else `exists`),
// by a new file renamed over it, so the old one's mode and content are never changed in
// place. Missing folders are created.
ExportResult ExportAccounts(const std::string& programDir, const std::string& path, bool replace);

// The report file of imports made on local date `now`.
std::string ImportReportPath(const std::string& programDir, const platform::SystemTime& now);

// Imports one line: "" when the account was written, else the reason it was rejected, which
// then went to the report as "\r\nhh:mm:ss <reason><line>". An accepted line replaces the
// account of the same key: its list rows go (all of them when the domain changed or the
// old record cannot be read, else those of its custom services), the record is written
// and its checks registered, as one AccountChange. When `busy` is given and another process
// held the account store (or the status folder an earlier change needs) past the lock
// wait, nothing is written or reported and `*busy` is set: the line is to be imported
// again later. With `unpaced` (an import without the pause between lines, for a
// migration) a new account's checks that are off are left alone, as they have nothing to
// remove (see OffChecks).
std::string ImportCsvLine(const std::string& programDir, std::string_view line,
                          const platform::SystemTime& now, bool* busy = nullptr,
                          bool unpaced = false);

// One import in progress: the file's text and its lines, imported one per Step.
class AccountImport {
 public:
  // Takes a file's bytes. False with a message key when the text cannot be used (a UTF-8
  // file with characters CP932 cannot hold, more than kMaxImportLines lines, a line longer
  // than kMaxImportLineBytes).
  bool Start(std::string text, std::string* errorKey);
  // Imports the next line (a line refused only because the account store was busy stays
  // next). False when every line was done.
  bool Step(const std::string& programDir, const platform::SystemTime& now);
  // Lines imported without the pause between them (see ImportCsvLine's `unpaced`).
  void SetUnpaced(bool unpaced) { unpaced_ = unpaced; }

  bool running() const { return running_; }
  size_t total() const { return total_; }
  size_t done() const { return done_; }
  size_t rejected() const { return rejected_; }
  // Ends the import after the line in hand (the file is let go).
  void Finish();

 private:
  std::string text_;
  size_t pos_ = 0;  // where the next line starts
  size_t total_ = 0;
  size_t done_ = 0;
  size_t rejected_ = 0;
  bool running_ = false;
  bool unpaced_ = false;
};

// The command-line forms (`KTVarnock --export FILE [--replace]`, `--import FILE`) on a
// program directory whose console is not running; messages go to standard error. An
// existing FILE is replaced only with --replace. The import keeps the pacing of the
// console unless `paced` is false (--no-pacing: one line after the other, for a migration).
// Return the process's exit code.
int ExportFromCommandLine(const std::string& programDir, const std::string& path, bool replace);
int ImportFromCommandLine(const std::string& programDir, const std::string& path,
                          bool paced = true);

}  // namespace console
