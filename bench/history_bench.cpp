// The history store at the size of 1,000 accounts checked every minute for a year (about
// 525 M results). What is measured, in this order:
//  1. catch-up: one day of generated full-log lines (1,000 accounts x 1,440 minutes, the
//     agents' ping line byte for byte) read into an empty store by the feed;
//  2. the rest of the year synthesised straight into the tables the way ingest leaves
//     them: the other day of minute points, 90 days of hourly rows, 365 daily rows and 20
//     outages per account;
//  3. the disk the store takes after a checkpoint;
//  4. following: 1,000 new lines appended per "minute", then one feed pass and one prune
//     pass; CPU time per minute as a share of one core (median of the passes);
//  5. queries through the routes: a 30-day chart (hours), a one-year chart (days), the
//     month report of 1,000 accounts (medians);
//  6. the peak memory of a fresh process that opens the store, follows and queries.
//   history_bench [--keep DIR]
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "bench/bench_timing.h"
#include "common/account_key.h"
#include "common/daily_log.h"
#include "console/history_feed.h"
#include "console/history_routes.h"
#include "platform/files.h"

namespace {

using namespace console::history;

constexpr int kAccounts = 1000;

platform::SystemTime TimeOf(int64_t minute) {
  const std::string s = FormatMinute(minute);
  platform::SystemTime t{};
  t.year = static_cast<uint16_t>(std::stoi(s.substr(0, 4)));
  t.month = static_cast<uint16_t>(std::stoi(s.substr(4, 2)));
  t.day = static_cast<uint16_t>(std::stoi(s.substr(6, 2)));
  t.hour = static_cast<uint16_t>(std::stoi(s.substr(8, 2)));
  t.minute = static_cast<uint16_t>(std::stoi(s.substr(10, 2)));
  return t;
}

std::string Name(int i) {
  char text[32];
  std::snprintf(text, sizeof text, "server%04d", i);
  return text;
}

// The lines of one minute for every account: mostly answers, a failure now and then.
std::string MinuteLines(int64_t minute) {
  std::string out;
  const platform::SystemTime t = TimeOf(minute);
  for (int i = 0; i < kAccounts; ++i) {
    if ((minute + i) % 997 == 0) {
      out += common::FormatLogLine(-906, t, Name(i), "Ping DOWN TIMEOUT Domain/IP: 10.0.0.1");
    } else {
      const long ms = 1 + (minute + i) % 40;
      out += common::FormatLogLine(ms, t, Name(i),
                                   "Ping OK time=" + std::to_string(ms) + "ms Domain/IP: 10.0.0.1");
    }
  }
  return out;
}

double CpuMs() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0 +
         (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0;
}

console::RouteRequest Get(std::map<std::string, std::string> query) {
  return {"GET", "/",
          [query](const char* name) -> std::optional<std::string> {
            auto it = query.find(name);
            if (it == query.end()) return std::nullopt;
            return it->second;
          },
          ""};
}

void Synthesise(HistoryStore& store, int64_t now) {
  sqlite3* db = store.handle();
  sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  sqlite3_stmt *point, *hour, *day, *outage;
  sqlite3_prepare_v2(db, "INSERT OR IGNORE INTO points VALUES(?,0,?,1,0,1,?,?,?,NULL,NULL)", -1,
                     &point, nullptr);
  sqlite3_prepare_v2(db, "INSERT OR IGNORE INTO hours VALUES(?,0,?,60,?,?,?,?,?)", -1, &hour,
                     nullptr);
  sqlite3_prepare_v2(db, "INSERT OR IGNORE INTO days VALUES(?,0,?,1440,?,?,?,?,?)", -1, &day,
                     nullptr);
  sqlite3_prepare_v2(db, "INSERT INTO outages(a, c, start, stop, error) VALUES(?,0,?,?,?)", -1,
                     &outage, nullptr);
  auto step = [](sqlite3_stmt* s) {
    sqlite3_step(s);
    sqlite3_reset(s);
  };
  for (int a = 1; a <= kAccounts; ++a) {
    // The minute points of the day before the one read from the logs.
    for (int64_t t = now - kPointMinutes; t < now - 1440; ++t) {
      const int64_t ms = 1 + (t + a) % 40;
      sqlite3_bind_int64(point, 1, a), sqlite3_bind_int64(point, 2, t);
      sqlite3_bind_int64(point, 3, ms), sqlite3_bind_int64(point, 4, ms);
      sqlite3_bind_int64(point, 5, ms);
      step(point);
    }
    for (int64_t h = (now - kHourMinutes) / 60; h < (now - 1440) / 60; ++h) {
      sqlite3_bind_int64(hour, 1, a), sqlite3_bind_int64(hour, 2, h);
      sqlite3_bind_int64(hour, 3, h % 61 == 0), sqlite3_bind_int64(hour, 4, 60 - (h % 61 == 0));
      sqlite3_bind_int64(hour, 5, 20 * 60), sqlite3_bind_int64(hour, 6, 1);
      sqlite3_bind_int64(hour, 7, 40);
      step(hour);
    }
    for (int64_t d = (now - 365 * 1440) / 1440; d < (now - 1440) / 1440; ++d) {
      sqlite3_bind_int64(day, 1, a), sqlite3_bind_int64(day, 2, d);
      sqlite3_bind_int64(day, 3, 2), sqlite3_bind_int64(day, 4, 1438);
      sqlite3_bind_int64(day, 5, 1438 * 20), sqlite3_bind_int64(day, 6, 1);
      sqlite3_bind_int64(day, 7, 40);
      step(day);
    }
    for (int k = 0; k < 20; ++k) {
      const int64_t start = now - 365 * 1440 + k * 18 * 1440 + a;
      sqlite3_bind_int64(outage, 1, a), sqlite3_bind_int64(outage, 2, start);
      sqlite3_bind_int64(outage, 3, start + 2 + a % 30);
      sqlite3_bind_text(outage, 4, "TIMEOUT Domain/IP: 10.0.0.1", -1, SQLITE_STATIC);
      step(outage);
    }
  }
  for (sqlite3_stmt* s : {point, hour, day, outage}) sqlite3_finalize(s);
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
}

int64_t DiskBytes(const std::string& dir) {
  int64_t total = 0;
  for (const std::string& f : platform::ListFiles(platform::JoinPath(dir, "History"))) {
    total += platform::FileSize(platform::JoinPath(platform::JoinPath(dir, "History"), f));
  }
  return total;
}

// The measurements of steps 4 and 5 (and, in a process of its own, 6).
int Follow(const std::string& dir, int64_t now, int passes, bool quiet) {
  std::string error;
  auto store = HistoryStore::Open(StorePath(dir), false, false, &error);
  if (!store) {
    std::fprintf(stderr, "cannot open: %s\n", error.c_str());
    return 1;
  }
  HistoryFeed feed(dir);
  std::vector<double> cpu;
  for (int i = 0; i < passes; ++i) {
    const int64_t minute = now + i;
    platform::AppendToFile(common::FullLogPath(dir, TimeOf(minute)), MinuteLines(minute));
    const double before = CpuMs();
    if (feed.Pass(*store, minute, nullptr, &error) < 0) std::fprintf(stderr, "%s\n", error.c_str());
    store->PruneStep(minute, 2000);
    cpu.push_back(CpuMs() - before);
  }
  const console::PostTask none = [](console::ConsoleTask) { return false; };
  const console::RouteContext context{dir, none};
  auto timeRoute = [&](auto route, std::map<std::string, std::string> query, int runs,
                       size_t* bytes) {
    std::vector<double> times;
    for (int r = 0; r < runs; ++r) {
      query["key"] = common::HexKey(Name((r * 37) % kAccounts));
      auto request = Get(query);
      times.push_back(bench::TimeMs([&] { *bytes = route(context, request).body.size(); }));
    }
    return bench::Median(times);
  };
  const std::string to = FormatMinute(now);
  size_t b30 = 0, b365 = 0, bReport = 0;
  const double chart30 =
      timeRoute(HistoryRoute,
                {{"check", "PING"}, {"from", FormatMinute(now - 30 * 1440)}, {"to", to}}, 21, &b30);
  const double chart365 = timeRoute(
      HistoryRoute, {{"check", "PING"}, {"from", FormatMinute(now - 365 * 1440)}, {"to", to}}, 21,
      &b365);
  // Last month: whole, inside the year.
  const std::string month = FormatMinute(*ParseMinute(to.substr(0, 6) + "010000") - 1).substr(0, 6);
  const double report = timeRoute(ReportRoute, {{"month", month}}, 5, &bReport);
  if (!quiet) {
    std::printf(
        "follow: 1,000 lines a minute: CPU per pass median %.2f ms (%.4f %% of a core), "
        "p90 %.2f ms\n",
        bench::Median(cpu), bench::Median(cpu) / 600.0, bench::Percentile(cpu, 90));
    std::printf("30-day chart (hours, %zu bytes): median %.2f ms\n", b30, chart30);
    std::printf("one-year chart (days, %zu bytes): median %.2f ms\n", b365, chart365);
    std::printf("month report %s of 1,000 accounts (%zu bytes): median %.2f ms\n", month.c_str(),
                bReport, report);
  }
  std::printf("peak memory with the store open: %ld kB (VmHWM)\n",
              bench::StatusKb(getpid(), "VmHWM:"));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--memory") == 0) {
    return Follow(argv[2], std::atoll(argv[3]), 3, true);
  }
  char pattern[] = "/tmp/history-bench-XXXXXX";
  std::string dir = argc == 3 && std::strcmp(argv[1], "--keep") == 0 ? argv[2] : "";
  if (dir.empty()) {
    if (!::mkdtemp(pattern)) return 1;
    dir = pattern;
  }
  platform::MakeDirs(platform::JoinPath(dir, "Log"));
  // A whole number of hours back, so that the follow passes start on a fresh minute.
  const int64_t now = NowMinute();
  std::printf("program directory %s\n", dir.c_str());

  // 1. One day of logs.
  for (int64_t t = now - 1440; t < now; ++t) {
    platform::AppendToFile(common::FullLogPath(dir, TimeOf(t)), MinuteLines(t));
  }
  int64_t logBytes = 0;
  for (const std::string& f : platform::ListFiles(platform::JoinPath(dir, "Log"))) {
    logBytes += platform::FileSize(platform::JoinPath(platform::JoinPath(dir, "Log"), f));
  }
  std::string error;
  int64_t lines = 0;
  double catchUp = 0;
  {
    auto store = HistoryStore::Open(StorePath(dir), false, false, &error);
    if (!store) return 1;
    HistoryFeed feed(dir);
    catchUp = bench::TimeMs([&] { lines = feed.Pass(*store, now, nullptr, &error); });
    std::printf("catch-up: %lld lines (%.1f MB of logs) in %.2f s (%.0f lines/s)\n",
                static_cast<long long>(lines), logBytes / 1e6, catchUp / 1000.0,
                lines / (catchUp / 1000.0));
    // 2. The rest of the year.
    const double synth = bench::TimeMs([&] { Synthesise(*store, now); });
    std::printf("synthesised the older rows in %.1f s\n", synth / 1000.0);
    sqlite3_exec(store->handle(), "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
  }
  // The logs are kept 5 days by the console; the store does not need them any more.
  for (const std::string& f : platform::ListFiles(platform::JoinPath(dir, "Log"))) {
    platform::RemoveFile(platform::JoinPath(platform::JoinPath(dir, "Log"), f));
  }
  // 3. Disk.
  std::printf("disk: %.1f MB for the year of 1,000 accounts\n", DiskBytes(dir) / 1e6);
  // 4, 5.
  if (Follow(dir, now, 15, false) != 0) return 1;
  // 6. A process of its own.
  const std::string self = platform::ExecutableDir() + "/history_bench";
  const std::string command = self + " --memory " + dir + " " + std::to_string(now + 100) + " 2>&1";
  std::printf("fresh process: ");
  std::fflush(stdout);
  if (std::system(command.c_str()) != 0) return 1;
  std::printf("disk after following: %.1f MB\n", DiskBytes(dir) / 1e6);
  if (argc < 3) std::system(("rm -rf " + dir).c_str());
  return 0;
}
