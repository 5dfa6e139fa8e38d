#include "console/history_store.h"

#include <algorithm>
#include <cmath>

#include "platform/files.h"

namespace console::history {
namespace {

constexpr int kBusyWaitMs = 2000;

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS accounts(id INTEGER PRIMARY KEY, key TEXT NOT NULL UNIQUE,
                                    name BLOB NOT NULL);
CREATE TABLE IF NOT EXISTS series(a INTEGER NOT NULL, c INTEGER NOT NULL,
                                  PRIMARY KEY(a, c)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS points(a INTEGER NOT NULL, c INTEGER NOT NULL, t INTEGER NOT NULL,
  n INTEGER NOT NULL, fail INTEGER NOT NULL, timed INTEGER NOT NULL, sum INTEGER NOT NULL,
  lo INTEGER, hi INTEGER, code INTEGER, error BLOB, maint INTEGER NOT NULL DEFAULT 0,
  PRIMARY KEY(a, c, t)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS hours(a INTEGER NOT NULL, c INTEGER NOT NULL, t INTEGER NOT NULL,
  n INTEGER NOT NULL, fail INTEGER NOT NULL, timed INTEGER NOT NULL, sum INTEGER NOT NULL,
  lo INTEGER, hi INTEGER, maint INTEGER NOT NULL DEFAULT 0, PRIMARY KEY(a, c, t)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS days(a INTEGER NOT NULL, c INTEGER NOT NULL, t INTEGER NOT NULL,
  n INTEGER NOT NULL, fail INTEGER NOT NULL, timed INTEGER NOT NULL, sum INTEGER NOT NULL,
  lo INTEGER, hi INTEGER, maint INTEGER NOT NULL DEFAULT 0, PRIMARY KEY(a, c, t)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS outages(id INTEGER PRIMARY KEY, a INTEGER NOT NULL,
  c INTEGER NOT NULL, start INTEGER NOT NULL, stop INTEGER, error BLOB);
CREATE INDEX IF NOT EXISTS outages_by_account ON outages(a, start);
CREATE INDEX IF NOT EXISTS outages_by_stop ON outages(stop);
CREATE TABLE IF NOT EXISTS files(name TEXT PRIMARY KEY, offset INTEGER NOT NULL);
)sql";

// The upsert that adds a point's change to its hour or day.
constexpr const char* kAddHour = R"sql(
INSERT INTO hours VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10) ON CONFLICT(a, c, t) DO UPDATE SET
  n = n + excluded.n, fail = fail + excluded.fail, timed = timed + excluded.timed,
  sum = sum + excluded.sum, maint = maint + excluded.maint,
  lo = CASE WHEN lo IS NULL THEN excluded.lo WHEN excluded.lo IS NULL THEN lo
            ELSE min(lo, excluded.lo) END,
  hi = CASE WHEN hi IS NULL THEN excluded.hi WHEN excluded.hi IS NULL THEN hi
            ELSE max(hi, excluded.hi) END)sql";
constexpr const char* kAddDay = R"sql(
INSERT INTO days VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10) ON CONFLICT(a, c, t) DO UPDATE SET
  n = n + excluded.n, fail = fail + excluded.fail, timed = timed + excluded.timed,
  sum = sum + excluded.sum, maint = maint + excluded.maint,
  lo = CASE WHEN lo IS NULL THEN excluded.lo WHEN excluded.lo IS NULL THEN lo
            ELSE min(lo, excluded.lo) END,
  hi = CASE WHEN hi IS NULL THEN excluded.hi WHEN excluded.hi IS NULL THEN hi
            ELSE max(hi, excluded.hi) END)sql";

// Binds and steps a statement to its end; the statement is reset for the next use.
class Run {
 public:
  explicit Run(sqlite3_stmt* s) : s_(s) {}
  ~Run() {
    if (s_) {
      sqlite3_reset(s_);
      sqlite3_clear_bindings(s_);
    }
  }
  Run& Int(int i, int64_t v) {
    sqlite3_bind_int64(s_, i, v);
    return *this;
  }
  Run& Null(int i) {
    sqlite3_bind_null(s_, i);
    return *this;
  }
  Run& Text(int i, const std::string& v) {
    sqlite3_bind_text(s_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Run& Blob(int i, const std::string& v) {
    sqlite3_bind_blob(s_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  // SQLITE_ROW, SQLITE_DONE or an error code.
  int Step() { return s_ ? sqlite3_step(s_) : SQLITE_MISUSE; }
  int64_t Col(int i) const { return sqlite3_column_int64(s_, i); }
  bool IsNull(int i) const { return sqlite3_column_type(s_, i) == SQLITE_NULL; }
  std::string Bytes(int i) const {
    const void* p = sqlite3_column_blob(s_, i);
    int len = sqlite3_column_bytes(s_, i);
    return p ? std::string(static_cast<const char*>(p), static_cast<size_t>(len)) : std::string();
  }
  bool ok() const { return s_ != nullptr; }

 private:
  sqlite3_stmt* s_;
};

bool Broken(int rc) {
  int primary = rc & 0xff;
  return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

std::string Capped(const std::string& text) {
  return text.size() <= kMaxErrorBytes ? text : text.substr(0, kMaxErrorBytes);
}

// The point of a minute being built during one transaction, and what the store held.
struct Pending {
  Bucket before;
  Bucket now;
  bool stored = false;  // written back (inside the span of points)
};

// A check in a maintenance window is counted apart: its failure is not a failure.
void Merge(Bucket& b, const Result& r) {
  const bool failed = r.outcome == Outcome::kFailure && !r.maintenance;
  if (r.oneRunPerMinute && b.n > 0) {
    // Further lines of the same run: one check, failed when any of its lines failed.
    if (failed && b.fail == 0) b.fail = 1;
  } else {
    ++b.n;
    if (failed) ++b.fail;
    if (r.maintenance) ++b.maint;
  }
  if (failed) {
    b.code = r.code;
    b.error = Capped(r.error);
  } else if (r.outcome != Outcome::kFailure && r.ms >= 0) {
    b.minMs = b.timed == 0 ? r.ms : std::min(b.minMs, r.ms);
    b.maxMs = b.timed == 0 ? r.ms : std::max(b.maxMs, r.ms);
    ++b.timed;
    b.sumMs += r.ms;
  }
}

}  // namespace

const char* StepName(Step step) {
  switch (step) {
    case Step::kMinute:
      return "minute";
    case Step::kHour:
      return "hour";
    case Step::kDay:
      return "day";
  }
  return "";
}

std::optional<double> Availability(int64_t n, int64_t fail, int64_t maint) {
  n -= maint;
  if (n <= 0) return std::nullopt;
  return std::round(100000.0 * static_cast<double>(n - fail) / static_cast<double>(n)) / 1000.0;
}

HistoryStore::~HistoryStore() {
  for (auto& [sql, s] : statements_) sqlite3_finalize(s);
  sqlite3_close_v2(db_);
}

std::unique_ptr<HistoryStore> HistoryStore::Open(const std::string& path, bool readOnly, bool check,
                                                 std::string* error, bool* damaged) {
  if (damaged) *damaged = false;
  if (!readOnly) platform::MakeDirs(platform::DirName(path), 0755);
  sqlite3* db = nullptr;
  const int flags = (readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) |
                    SQLITE_OPEN_NOMUTEX;
  int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
  if (rc != SQLITE_OK) {
    if (error) *error = db ? sqlite3_errmsg(db) : "cannot open the history store";
    sqlite3_close_v2(db);
    return nullptr;
  }
  sqlite3_busy_timeout(db, kBusyWaitMs);
  std::unique_ptr<HistoryStore> store(new HistoryStore(db, readOnly));
  auto fail = [&](const std::string& what) -> std::unique_ptr<HistoryStore> {
    if (error) *error = what;
    if (damaged) *damaged = store->damaged_;
    return nullptr;
  };
  if (!readOnly) {
    // The page size is read before anything else touches the file: a file that is not a
    // database fails here.
    if (!store->Exec("PRAGMA journal_mode=WAL", error)) return fail(error ? *error : "");
    store->Exec("PRAGMA synchronous=NORMAL", nullptr);
    if (!store->Exec(kSchema, error)) return fail(error ? *error : "");
    // A store made before maintenance windows were counted gets their column.
    for (const char* table : {"points", "hours", "days"}) {
      if (store->HasColumn(table, "maint")) continue;
      const std::string add =
          std::string("ALTER TABLE ") + table + " ADD COLUMN maint INTEGER NOT NULL DEFAULT 0";
      if (!store->Exec(add.c_str(), error)) return fail(error ? *error : "");
    }
  } else if (!store->Exec("SELECT count(*) FROM files", error)) {
    return fail(error ? *error : "");
  }
  store->maint_ = store->HasColumn("points", "maint") ? "maint" : "0";
  if (check) {
    Run q(store->Prepare("PRAGMA quick_check"));
    int step = q.Step();
    if (step != SQLITE_ROW) {
      store->Note(step);
      return fail(std::string("the history store cannot be checked: ") + sqlite3_errmsg(db));
    }
    std::string verdict = q.Bytes(0);
    if (verdict != "ok") {
      store->damaged_ = true;
      return fail("the history store is damaged: " + verdict);
    }
  }
  return store;
}

bool HistoryStore::HasColumn(const char* table, const char* column) {
  sqlite3_stmt* s = nullptr;
  const std::string sql = std::string("SELECT ") + column + " FROM " + table + " LIMIT 0";
  const bool has = sqlite3_prepare_v2(db_, sql.c_str(), -1, &s, nullptr) == SQLITE_OK;
  sqlite3_finalize(s);
  return has;
}

void HistoryStore::Note(int rc) {
  if (Broken(rc)) damaged_ = true;
}

bool HistoryStore::Exec(const char* sql, std::string* error) {
  char* message = nullptr;
  int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &message);
  if (rc != SQLITE_OK) {
    Note(rc);
    if (error) *error = message ? message : sqlite3_errstr(rc);
    sqlite3_free(message);
    return false;
  }
  return true;
}

sqlite3_stmt* HistoryStore::Prepare(const char* sql) {
  auto it = statements_.find(sql);
  if (it != statements_.end()) return it->second;
  sqlite3_stmt* s = nullptr;
  int rc = sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr);
  if (rc != SQLITE_OK) {
    Note(rc);
    return nullptr;
  }
  statements_.emplace(sql, s);
  return s;
}

bool HistoryStore::LoadOpenOutages() {
  if (loaded_) return true;
  {
    Run q(Prepare("SELECT id, a, c, start FROM outages WHERE stop IS NULL"));
    if (!q.ok()) return false;
    int rc;
    while ((rc = q.Step()) == SQLITE_ROW) {
      openOutages_[{q.Col(1), static_cast<int>(q.Col(2))}] = {q.Col(0), q.Col(3)};
    }
    if (rc != SQLITE_DONE) {
      Note(rc);
      return false;
    }
  }
  {
    Run q(Prepare("SELECT id, key, name FROM accounts"));
    if (!q.ok()) return false;
    while (q.Step() == SQLITE_ROW) accounts_[q.Bytes(1)] = {q.Col(0), q.Bytes(2)};
  }
  {
    Run q(Prepare("SELECT a, c FROM series"));
    if (!q.ok()) return false;
    while (q.Step() == SQLITE_ROW) series_.insert({q.Col(0), static_cast<int>(q.Col(1))});
  }
  loaded_ = true;
  return true;
}

int64_t HistoryStore::AccountId(const std::string& key, const std::string& name,
                                std::string* error) {
  auto it = accounts_.find(key);
  if (it != accounts_.end()) {
    if (it->second.second != name) {
      Run u(Prepare("UPDATE accounts SET name = ?2 WHERE id = ?1"));
      u.Int(1, it->second.first).Blob(2, name);
      int rc = u.Step();
      if (rc != SQLITE_DONE) {
        Note(rc);
        if (error) *error = sqlite3_errmsg(db_);
        return -1;
      }
      it->second.second = name;
    }
    return it->second.first;
  }
  Run ins(Prepare("INSERT INTO accounts(key, name) VALUES(?1, ?2)"));
  ins.Text(1, key).Blob(2, name);
  int rc = ins.Step();
  if (rc != SQLITE_DONE) {
    Note(rc);
    if (error) *error = sqlite3_errmsg(db_);
    return -1;
  }
  int64_t id = sqlite3_last_insert_rowid(db_);
  accounts_[key] = {id, name};
  return id;
}

bool HistoryStore::Ingest(std::span<const Result> results, std::span<const FileMark> marks,
                          int64_t nowMinute, std::string* error) {
  if (readOnly_) return false;
  if (!LoadOpenOutages()) {
    if (error) *error = sqlite3_errmsg(db_);
    return false;
  }
  if (!Exec("BEGIN IMMEDIATE", error)) return false;
  // What the transaction changes in memory is taken back when it fails.
  auto savedAccounts = accounts_;
  auto savedSeries = series_;
  auto savedOutages = openOutages_;
  auto savedSteps = pendingStepMs_;
  auto savedUnstored = unstored_;
  auto failed = [&](int rc) {
    Note(rc);
    if (error) *error = sqlite3_errmsg(db_);
    Exec("ROLLBACK", nullptr);
    accounts_ = std::move(savedAccounts);
    series_ = std::move(savedSeries);
    openOutages_ = std::move(savedOutages);
    pendingStepMs_ = std::move(savedSteps);
    unstored_ = std::move(savedUnstored);
    return false;
  };
  const int64_t pointFrom = nowMinute - kPointMinutes;
  const int64_t hourFrom = (nowMinute - kHourMinutes) / 60;
  const int64_t dayFrom = (nowMinute - kDayMinutes) / 1440;
  std::map<std::tuple<int64_t, int, int64_t>, Pending> points;

  for (const Result& r : results) {
    const int c = static_cast<int>(r.check);
    const int64_t a = AccountId(r.key, r.name, error);
    if (a < 0) return failed(sqlite3_errcode(db_));
    if (series_.insert({a, c}).second) {
      Run s(Prepare("INSERT OR IGNORE INTO series VALUES(?1, ?2)"));
      s.Int(1, a).Int(2, c);
      int rc = s.Step();
      if (rc != SQLITE_DONE) return failed(rc);
    }
    if (r.outcome == Outcome::kStep) {
      if (r.ms >= 0) pendingStepMs_[{a, c}] += r.ms;
      continue;
    }
    Result result = r;
    if (auto step = pendingStepMs_.find({a, c}); step != pendingStepMs_.end()) {
      if (result.outcome == Outcome::kSuccess && result.ms >= 0) result.ms += step->second;
      pendingStepMs_.erase(step);
    }
    auto [it, fresh] = points.try_emplace({a, c, r.minute});
    Pending& p = it->second;
    if (fresh) {
      p.before.minute = p.now.minute = r.minute;
      p.stored = r.minute >= pointFrom;
      if (p.stored) {
        Run q(Prepare(
            "SELECT n, fail, timed, sum, lo, hi, code, error, maint FROM points WHERE a = ?1 AND "
            "c = ?2 AND t = ?3"));
        q.Int(1, a).Int(2, c).Int(3, r.minute);
        int rc = q.Step();
        if (rc == SQLITE_ROW) {
          Bucket& b = p.before;
          b.n = q.Col(0), b.fail = q.Col(1), b.timed = q.Col(2), b.sumMs = q.Col(3);
          b.minMs = q.Col(4), b.maxMs = q.Col(5), b.code = static_cast<long>(q.Col(6));
          b.error = q.Bytes(7);
          b.maint = q.Col(8);
          p.now = b;
        } else if (rc != SQLITE_DONE) {
          return failed(rc);
        }
      } else if (auto last = unstored_.find({a, c});
                 last != unstored_.end() && last->second.minute == r.minute) {
        p.before = p.now = last->second;
      }
    }
    Merge(p.now, result);

    // Outages: the first failed check opens one, the first success after it closes it. The
    // lines of one page run share their minute, so a success there does not close an
    // outage that the same run opened. A failure in a maintenance window opens none.
    auto open = openOutages_.find({a, c});
    if (result.outcome == Outcome::kFailure && !r.maintenance && open == openOutages_.end()) {
      Run ins(
          Prepare("INSERT INTO outages(a, c, start, stop, error) VALUES(?1, ?2, ?3, NULL, ?4)"));
      ins.Int(1, a).Int(2, c).Int(3, r.minute).Blob(4, Capped(r.error));
      int rc = ins.Step();
      if (rc != SQLITE_DONE) return failed(rc);
      openOutages_[{a, c}] = {sqlite3_last_insert_rowid(db_), r.minute};
    } else if (result.outcome == Outcome::kSuccess && open != openOutages_.end() &&
               (!r.oneRunPerMinute || open->second.second < r.minute)) {
      Run up(Prepare("UPDATE outages SET stop = ?2 WHERE id = ?1"));
      up.Int(1, open->second.first).Int(2, std::max(r.minute, open->second.second));
      int rc = up.Step();
      if (rc != SQLITE_DONE) return failed(rc);
      openOutages_.erase(open);
    }
  }

  for (auto& [where, p] : points) {
    const auto [a, c, t] = where;
    const Bucket& b = p.now;
    if (!p.stored) {
      unstored_[{a, c}] = b;
    } else {
      Run put(
          Prepare("INSERT OR REPLACE INTO points VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, "
                  "?10, ?11, ?12)"));
      put.Int(1, a).Int(2, c).Int(3, t).Int(4, b.n).Int(5, b.fail).Int(6, b.timed).Int(7, b.sumMs);
      if (b.timed > 0) {
        put.Int(8, b.minMs).Int(9, b.maxMs);
      } else {
        put.Null(8).Null(9);
      }
      if (b.fail > 0) {
        put.Int(10, b.code).Blob(11, b.error);
      } else {
        put.Null(10).Null(11);
      }
      put.Int(12, b.maint);
      int rc = put.Step();
      if (rc != SQLITE_DONE) return failed(rc);
    }
    // The aggregates take what this transaction added to the minute.
    const int64_t dn = b.n - p.before.n, dfail = b.fail - p.before.fail;
    const int64_t dtimed = b.timed - p.before.timed, dsum = b.sumMs - p.before.sumMs;
    const int64_t dmaint = b.maint - p.before.maint;
    if (dn == 0 && dfail == 0 && dtimed == 0 && dmaint == 0) continue;
    for (const auto& [sql, bucket, from] :
         {std::tuple{kAddHour, t / 60, hourFrom}, std::tuple{kAddDay, t / 1440, dayFrom}}) {
      if (bucket < from) continue;
      Run add(Prepare(sql));
      add.Int(1, a).Int(2, c).Int(3, bucket).Int(4, dn).Int(5, dfail).Int(6, dtimed).Int(7, dsum);
      if (b.timed > 0) {
        add.Int(8, b.minMs).Int(9, b.maxMs);
      } else {
        add.Null(8).Null(9);
      }
      add.Int(10, dmaint);
      int rc = add.Step();
      if (rc != SQLITE_DONE) return failed(rc);
    }
  }
  for (const FileMark& mark : marks) {
    Run put(Prepare("INSERT OR REPLACE INTO files VALUES(?1, ?2)"));
    put.Text(1, mark.name).Int(2, mark.offset);
    int rc = put.Step();
    if (rc != SQLITE_DONE) return failed(rc);
  }
  int rc = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) return failed(rc);
  return true;
}

std::map<std::string, int64_t> HistoryStore::FileOffsets() {
  std::map<std::string, int64_t> out;
  Run q(Prepare("SELECT name, offset FROM files"));
  if (!q.ok()) return out;
  int rc;
  while ((rc = q.Step()) == SQLITE_ROW) out[q.Bytes(0)] = q.Col(1);
  Note(rc);
  return out;
}

void HistoryStore::ForgetFilesExcept(const std::set<std::string>& present) {
  std::vector<std::string> gone;
  for (const auto& [name, offset] : FileOffsets()) {
    if (!present.count(name)) gone.push_back(name);
  }
  for (const std::string& name : gone) {
    Run del(Prepare("DELETE FROM files WHERE name = ?1"));
    del.Text(1, name);
    Note(del.Step());
  }
}

int HistoryStore::PruneStep(int64_t nowMinute, int maxRows) {
  if (readOnly_ || !LoadOpenOutages()) return -1;
  int deleted = 0;
  // Outages that ended before the span of the daily rows.
  {
    Run del(Prepare(
        "DELETE FROM outages WHERE id IN (SELECT id FROM outages WHERE stop < ?1 LIMIT ?2)"));
    del.Int(1, nowMinute - kDayMinutes).Int(2, maxRows);
    int rc = del.Step();
    if (rc != SQLITE_DONE) {
      Note(rc);
      return -1;
    }
    deleted += sqlite3_changes(db_);
  }
  if (series_.empty()) return deleted;
  // A few series per pass, in turn: each delete is a short range of one primary key.
  std::vector<std::pair<int64_t, int>> all(series_.begin(), series_.end());
  constexpr size_t kSeriesPerPass = 16;
  struct Span {
    const char* sql;
    int64_t before;
  };
  const Span spans[] = {
      {"DELETE FROM points WHERE a = ?1 AND c = ?2 AND t IN (SELECT t FROM points WHERE a = ?1 "
       "AND c = ?2 AND t < ?3 LIMIT ?4)",
       nowMinute - kPointMinutes},
      {"DELETE FROM hours WHERE a = ?1 AND c = ?2 AND t IN (SELECT t FROM hours WHERE a = ?1 AND "
       "c = ?2 AND t < ?3 LIMIT ?4)",
       (nowMinute - kHourMinutes) / 60},
      {"DELETE FROM days WHERE a = ?1 AND c = ?2 AND t IN (SELECT t FROM days WHERE a = ?1 AND "
       "c = ?2 AND t < ?3 LIMIT ?4)",
       (nowMinute - kDayMinutes) / 1440},
  };
  for (size_t i = 0; i < kSeriesPerPass && i < all.size() && deleted < maxRows; ++i) {
    const auto [a, c] = all[pruneCursor_++ % all.size()];
    for (const Span& span : spans) {
      Run del(Prepare(span.sql));
      del.Int(1, a).Int(2, c).Int(3, span.before).Int(4, maxRows - deleted);
      int rc = del.Step();
      if (rc != SQLITE_DONE) {
        Note(rc);
        return -1;
      }
      deleted += sqlite3_changes(db_);
    }
  }
  return deleted;
}

std::optional<int64_t> HistoryStore::FindAccount(const std::string& key) {
  Run q(Prepare("SELECT id FROM accounts WHERE key = ?1"));
  q.Text(1, key);
  int rc = q.Step();
  if (rc == SQLITE_ROW) return q.Col(0);
  Note(rc);
  return std::nullopt;
}

std::optional<std::string> HistoryStore::AccountName(const std::string& key) {
  Run q(Prepare("SELECT name FROM accounts WHERE key = ?1"));
  q.Text(1, key);
  int rc = q.Step();
  if (rc == SQLITE_ROW) return q.Bytes(0);
  Note(rc);
  return std::nullopt;
}

std::vector<Check> HistoryStore::ChecksOf(const std::string& key) {
  std::vector<Check> out;
  auto a = FindAccount(key);
  if (!a) return out;
  Run q(Prepare("SELECT c FROM series WHERE a = ?1 ORDER BY c"));
  q.Int(1, *a);
  int rc;
  while ((rc = q.Step()) == SQLITE_ROW) {
    int64_t c = q.Col(0);
    if (c >= 0 && c < static_cast<int64_t>(kCheckCount)) out.push_back(static_cast<Check>(c));
  }
  Note(rc);
  return out;
}

std::vector<Bucket> HistoryStore::Buckets(const std::string& key, Check check, Step step,
                                          int64_t from, int64_t to, size_t limit) {
  std::vector<Bucket> out;
  auto a = FindAccount(key);
  if (!a) return out;
  std::string sql;
  int64_t unit = 1;
  switch (step) {
    case Step::kMinute:
      sql = "SELECT t, n, fail, timed, sum, lo, hi, code, error, " + maint_ +
            " FROM points WHERE a = ?1 AND c = ?2 AND t BETWEEN ?3 AND ?4 ORDER BY t LIMIT ?5";
      break;
    case Step::kHour:
      sql = "SELECT t, n, fail, timed, sum, lo, hi, NULL, NULL, " + maint_ +
            " FROM hours WHERE a = ?1 AND c = ?2 AND t BETWEEN ?3 AND ?4 ORDER BY t LIMIT ?5";
      unit = 60;
      break;
    case Step::kDay:
      sql = "SELECT t, n, fail, timed, sum, lo, hi, NULL, NULL, " + maint_ +
            " FROM days WHERE a = ?1 AND c = ?2 AND t BETWEEN ?3 AND ?4 ORDER BY t LIMIT ?5";
      unit = 1440;
      break;
  }
  Run q(Prepare(sql.c_str()));
  // Buckets that begin in the span, and the one the span begins in.
  auto floorDiv = [](int64_t x, int64_t d) { return x >= 0 ? x / d : -((-x + d - 1) / d); };
  q.Int(1, *a).Int(2, static_cast<int>(check)).Int(3, floorDiv(from, unit));
  q.Int(4, floorDiv(to, unit)).Int(5, static_cast<int64_t>(limit));
  int rc;
  while ((rc = q.Step()) == SQLITE_ROW) {
    Bucket b;
    b.minute = q.Col(0) * unit;
    b.n = q.Col(1), b.fail = q.Col(2), b.timed = q.Col(3), b.sumMs = q.Col(4);
    b.minMs = q.Col(5), b.maxMs = q.Col(6);
    b.code = static_cast<long>(q.Col(7));
    b.error = q.Bytes(8);
    b.maint = q.Col(9);
    out.push_back(std::move(b));
  }
  Note(rc);
  return out;
}

std::vector<Outage> HistoryStore::Outages(const std::string& key, int64_t from, int64_t to,
                                          size_t limit) {
  std::vector<Outage> out;
  auto a = FindAccount(key);
  if (!a) return out;
  Run q(Prepare(
      "SELECT c, start, stop, error FROM outages WHERE a = ?1 AND start <= ?3 AND (stop IS NULL "
      "OR stop >= ?2) ORDER BY start DESC, c LIMIT ?4"));
  q.Int(1, *a).Int(2, from).Int(3, to).Int(4, static_cast<int64_t>(limit));
  int rc;
  while ((rc = q.Step()) == SQLITE_ROW) {
    Outage o;
    int64_t c = q.Col(0);
    if (c < 0 || c >= static_cast<int64_t>(kCheckCount)) continue;
    o.check = static_cast<Check>(c);
    o.start = q.Col(1);
    if (!q.IsNull(2)) o.end = q.Col(2);
    o.error = q.Bytes(3);
    out.push_back(std::move(o));
  }
  Note(rc);
  return out;
}

std::vector<ReportRow> HistoryStore::Report(int64_t from, int64_t to, int64_t nowMinute) {
  std::map<std::pair<int64_t, int>, ReportRow> rows;
  {
    const std::string sql = "SELECT a, c, sum(n), sum(fail), sum(timed), sum(sum), sum(" + maint_ +
                            ") FROM days WHERE t >= ?1 AND t < ?2 GROUP BY a, c";
    Run q(Prepare(sql.c_str()));
    q.Int(1, from / 1440).Int(2, to / 1440);
    int rc;
    while ((rc = q.Step()) == SQLITE_ROW) {
      ReportRow& r = rows[{q.Col(0), static_cast<int>(q.Col(1))}];
      r.n = q.Col(2), r.fail = q.Col(3), r.timed = q.Col(4), r.sumMs = q.Col(5);
      r.maint = q.Col(6);
    }
    Note(rc);
  }
  {
    Run q(Prepare(
        "SELECT a, c, start, stop FROM outages WHERE start < ?2 AND (stop IS NULL OR stop >= ?1)"));
    q.Int(1, from).Int(2, to);
    int rc;
    while ((rc = q.Step()) == SQLITE_ROW) {
      ReportRow& r = rows[{q.Col(0), static_cast<int>(q.Col(1))}];
      const int64_t start = std::max(q.Col(2), from);
      const int64_t end = std::min(q.IsNull(3) ? std::max(nowMinute, q.Col(2)) : q.Col(3), to);
      ++r.outages;
      r.longestMinutes = std::max(r.longestMinutes, std::max<int64_t>(0, end - start));
    }
    Note(rc);
  }
  std::map<int64_t, std::pair<std::string, std::string>> names;
  {
    Run q(Prepare("SELECT id, key, name FROM accounts"));
    while (q.Step() == SQLITE_ROW) names[q.Col(0)] = {q.Bytes(1), q.Bytes(2)};
  }
  std::vector<ReportRow> out;
  out.reserve(rows.size());
  for (auto& [where, row] : rows) {
    const auto& [a, c] = where;
    if (c < 0 || c >= static_cast<int>(kCheckCount)) continue;
    row.check = static_cast<Check>(c);
    auto name = names.find(a);
    if (name != names.end()) row.key = name->second.first, row.name = name->second.second;
    out.push_back(std::move(row));
  }
  std::sort(out.begin(), out.end(), [](const ReportRow& x, const ReportRow& y) {
    if (x.name != y.name) return x.name < y.name;
    if (x.key != y.key) return x.key < y.key;
    return x.check < y.check;
  });
  return out;
}

}  // namespace console::history
