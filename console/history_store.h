// The history of every account's checks, kept in an embedded SQLite file
// (History/history.db, WAL mode) that the console alone writes:
//   points   one row per account, check and minute, for the last 48 hours
//   hours    hourly aggregates (checks, failures, min/avg/max ms) for 90 days
//   days     daily aggregates for five years (1826 days)
//   outages  start, end and error text of every outage, as long as the daily rows
//   files    how far each daily log has been read, written in the same transaction as
//            the rows read from it, so that a console stopped at any moment neither loses
//            nor counts twice a line of the logs
// Times are minutes of the local civil clock (history_log.h). Readers (the routes, the
// report) open their own read-only connection; WAL lets them read while the writer writes.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "console/history_log.h"

namespace console::history {

// How long each resolution is kept, counted back from now.
constexpr int64_t kPointMinutes = 48 * 60;
constexpr int64_t kHourMinutes = 90 * 1440;
constexpr int64_t kDayMinutes = 1826 * 1440;
// The longest error text kept with a point or an outage.
constexpr size_t kMaxErrorBytes = 300;

// One check result ready for the store: the account by key and readable name (the name as
// the logs hold it, Shift-JIS), the check with its custom slot resolved.
struct Result {
  std::string key;
  std::string name;
  Check check = Check::kPing;
  int64_t minute = 0;
  Outcome outcome = Outcome::kSuccess;
  long code = 0;
  int64_t ms = -1;
  std::string error;
  bool oneRunPerMinute = false;
  // Checked in a maintenance window: counted apart, its failure opens no outage.
  bool maintenance = false;
};

// How far a daily log was read (its file name in Log/ and the byte offset after the last
// complete line taken).
struct FileMark {
  std::string name;
  int64_t offset = 0;
};

// A bucket of one resolution: a minute point, an hour or a day.
struct Bucket {
  int64_t minute = 0;  // the bucket's first minute
  int64_t n = 0;
  int64_t fail = 0;
  int64_t timed = 0;  // successes with a response time
  int64_t sumMs = 0;
  int64_t minMs = 0, maxMs = 0;  // meaningful when timed > 0
  long code = 0;                 // minute points with a failure: the last failure
  std::string error;
  int64_t maint = 0;  // checks in a maintenance window (in n; their failures not in fail)
};

struct Outage {
  Check check = Check::kPing;
  int64_t start = 0;
  std::optional<int64_t> end;  // nullopt while ongoing
  std::string error;
};

enum class Step { kMinute, kHour, kDay };
const char* StepName(Step step);

struct ReportRow {
  std::string key, name;
  Check check = Check::kPing;
  int64_t n = 0, fail = 0;
  int64_t outages = 0;
  int64_t longestMinutes = 0;
  int64_t timed = 0, sumMs = 0;
  int64_t maint = 0;  // checks in a maintenance window
  // False when the check's group logs errors only: its successes never reach the store, so
  // its availability is not known.
  bool successesLogged = true;
};

class HistoryStore {
 public:
  ~HistoryStore();
  HistoryStore(const HistoryStore&) = delete;
  HistoryStore& operator=(const HistoryStore&) = delete;

  // Opens (creating it and its folder when missing and `readOnly` is false) the store at
  // `path`. nullptr with `error` set when the file cannot be opened or is no store;
  // `damaged` (may be null) is set when SQLite found the file itself broken (not a
  // database, or corrupt), the case for setting the file aside. With `check` the whole
  // file is verified first (PRAGMA quick_check).
  static std::unique_ptr<HistoryStore> Open(const std::string& path, bool readOnly, bool check,
                                            std::string* error, bool* damaged = nullptr);

  // Adds the results, in order, and the new offsets of the logs they came from, in one
  // transaction; rows already past their span at `nowMinute` are not written. False (and
  // nothing written) on failure; damaged() says whether the file broke.
  bool Ingest(std::span<const Result> results, std::span<const FileMark> marks, int64_t nowMinute,
              std::string* error);
  std::map<std::string, int64_t> FileOffsets();
  // Forgets the offsets of logs that are gone.
  void ForgetFilesExcept(const std::set<std::string>& present);

  // One small pruning pass: at most `maxRows` rows past their span at `nowMinute` are
  // deleted (a few series per pass, in turn). Returns the rows deleted, -1 on failure.
  int PruneStep(int64_t nowMinute, int maxRows);

  // Queries. The account is found by key; nullopt when the store does not know it.
  std::optional<std::string> AccountName(const std::string& key);
  std::vector<Check> ChecksOf(const std::string& key);
  // Buckets of `step` that begin in [from, to], oldest first, at most `limit`.
  std::vector<Bucket> Buckets(const std::string& key, Check check, Step step, int64_t from,
                              int64_t to, size_t limit);
  // Outages that overlap [from, to], newest first, at most `limit`.
  std::vector<Outage> Outages(const std::string& key, int64_t from, int64_t to, size_t limit);
  // Per account and check with results in the days of [from, to) (whole days): counts
  // from the daily rows, outages overlapping the span (their length cut to it; an ongoing
  // one counted up to `nowMinute`).
  std::vector<ReportRow> Report(int64_t from, int64_t to, int64_t nowMinute);

  bool damaged() const { return damaged_; }
  sqlite3* handle() { return db_; }

 private:
  explicit HistoryStore(sqlite3* db, bool readOnly) : db_(db), readOnly_(readOnly) {}
  bool Exec(const char* sql, std::string* error);
  bool HasColumn(const char* table, const char* column);
  sqlite3_stmt* Prepare(const char* sql);
  void Note(int rc);
  bool LoadOpenOutages();
  int64_t AccountId(const std::string& key, const std::string& name, std::string* error);
  std::optional<int64_t> FindAccount(const std::string& key);

  sqlite3* db_ = nullptr;
  bool readOnly_ = false;
  bool damaged_ = false;
  // The maintenance count in queries: the column, or 0 in a store read before it had one.
  std::string maint_ = "maint";
  std::map<std::string, sqlite3_stmt*> statements_;
  // The writer's view, kept between transactions.
  std::map<std::string, std::pair<int64_t, std::string>> accounts_;  // key -> id, name
  std::set<std::pair<int64_t, int>> series_;
  std::map<std::pair<int64_t, int>, std::pair<int64_t, int64_t>> openOutages_;  // -> id, start
  std::map<std::pair<int64_t, int>, int64_t> pendingStepMs_;  // stages passed of a run
  // The last minute of each series read from logs older than the points' span: not
  // stored, but a page run's lines split between two transactions still make one check.
  std::map<std::pair<int64_t, int>, Bucket> unstored_;
  size_t pruneCursor_ = 0;
  bool loaded_ = false;
};

// Availability in percent, rounded to 3 decimals, of the checks outside maintenance windows
// (`maint` of the `n`); nullopt without such checks.
std::optional<double> Availability(int64_t n, int64_t fail, int64_t maint = 0);

}  // namespace console::history
