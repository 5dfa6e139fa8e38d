// The history: log lines read back as results, the store's resolutions, spans and outages,
// the feed's offsets across a killed console, rebuilding, a damaged file, and the routes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>

#include "common/account_key.h"
#include "common/daily_log.h"
#include "common/layout.h"
#include "common/maintenance.h"
#include "common/record_texts.h"
#include "console/history_feed.h"
#include "console/history_log.h"
#include "console/history_routes.h"
#include "console/history_store.h"
#include "platform/files.h"
#include "support/temp_dir.h"

namespace console::history {
namespace {

using nlohmann::json;
using testsupport::TempDir;

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

// A full-log line as the agents write it (readable name), without its CR LF.
std::string Line(long code, int64_t minute, const std::string& name, const std::string& text) {
  std::string line = common::FormatLogLine(code, TimeOf(minute), name, text);
  return line.substr(0, line.size() - 2);
}

// Appends lines to the day's full log of their minute.
void Append(const std::string& dir, const std::vector<std::pair<int64_t, std::string>>& lines) {
  for (const auto& [minute, line] : lines) {
    platform::AppendToFile(common::FullLogPath(dir, TimeOf(minute)), line + "\r\n");
  }
}

TEST(HistoryLog, EveryCheckSuccessAndFailureLineByteForByte) {
  const std::string pad(65 - 4, ' ');
  // The exact bytes of a ping line, as a check of the layout itself.
  EXPECT_EQ(Line(15, CivilMinute(2026, 12, 9, 14, 5), "web1", "Ping OK time=15ms Domain/IP: h"),
            "00015 2026/12/09  02:05pm  web1" + pad + " Ping OK time=15ms Domain/IP: h");
  struct Case {
    long code;
    std::string text;
    Check check;
    Outcome outcome;
    int64_t ms;
    std::string error;
  } cases[] = {
      {15, "Ping OK time=15ms Domain/IP: 10.0.0.1", Check::kPing, Outcome::kSuccess, 15, ""},
      {-906, "Ping DOWN TIMEOUT Domain/IP: 10.0.0.1", Check::kPing, Outcome::kFailure, -1,
       "TIMEOUT Domain/IP: 10.0.0.1"},
      {1, "HTTP Port 80 OK Domain/IP: h", Check::kHttp, Outcome::kSuccess, -1, ""},
      {-902, "HTTP Port 80 DOWN Error: CONNECT Domain/IP: h", Check::kHttp, Outcome::kFailure, -1,
       "CONNECT Domain/IP: h"},
      {1, "FTP Port 21 OK Domain/IP: h", Check::kFtp, Outcome::kSuccess, -1, ""},
      {-906, "FTP Port 21 DOWN Error: TIMEOUT Domain/IP: h", Check::kFtp, Outcome::kFailure, -1,
       "TIMEOUT Domain/IP: h"},
      {1, "SMTP Port 25 OK Domain/IP: h", Check::kSmtp, Outcome::kSuccess, -1, ""},
      {-906, "SMTP Port 25 DOWN Error: TIMEOUT Domain/IP: h", Check::kSmtp, Outcome::kFailure, -1,
       "TIMEOUT Domain/IP: h"},
      {1, "POP3 Port 110 OK Domain/IP: h", Check::kPop, Outcome::kSuccess, -1, ""},
      {-901, "POP3 Port 110 DOWN Error: X Domain/IP: h", Check::kPop, Outcome::kFailure, -1,
       "X Domain/IP: h"},
      {1, "CUSTOM Port 8080 OK Domain/IP: h", Check::kCustom1, Outcome::kSuccess, -1, ""},
      {-902, "CUSTOM Port 8080 DOWN Error: CONNECT Domain/IP: h", Check::kCustom1,
       Outcome::kFailure, -1, "CONNECT Domain/IP: h"},
      {200, "HTTP Web OK Domain/IP: h", Check::kPage, Outcome::kSuccess, -1, ""},
      {-404, "HTTP Web Failed Error: HTTP/1.0 404 Not Found", Check::kPage, Outcome::kFailure, -1,
       "HTTP/1.0 404 Not Found"},
      {1, "HTTP Web Link OK  Domain/IP: h/a", Check::kPage, Outcome::kSuccess, -1, ""},
      {-906, "HTTP Web LinkFailed Error: TIMEOUT h/b", Check::kPage, Outcome::kFailure, -1,
       "TIMEOUT h/b"},
      {1, "FTP Upload OK Passed Time: 2sec Domain/IP: h", Check::kXfer, Outcome::kStep, 2000, ""},
      {1, "FTP Download OK Passed Time: 1sec Domain/IP: h", Check::kXfer, Outcome::kStep, 1000, ""},
      {1, "FTP Delete OK Passed Time: 0sec Domain/IP: h", Check::kXfer, Outcome::kSuccess, 0, ""},
      {-912, "FTP Login Failed Error: FTP_AUTHFAILED Domain/IP: h", Check::kXfer, Outcome::kFailure,
       -1, "FTP_AUTHFAILED Domain/IP: h"},
      {-906, "FTP Download Failed Error: TIMEOUT Domain/IP: h", Check::kXfer, Outcome::kFailure, -1,
       "TIMEOUT Domain/IP: h"},
      {1, "Mail Send OK Domain/IP: s", Check::kMail, Outcome::kStep, -1, ""},
      {1, "Mail Receive OK Passed Time: 12sec Domain/IP: p", Check::kMail, Outcome::kSuccess, 12000,
       ""},
      {-906, "Mail Receive Failed Error: Not Received from SMTP  Passed Time: 60sec", Check::kMail,
       Outcome::kFailure, 60000, "Not Received from SMTP  Passed Time: 60sec"},
      {-911, "SMTP Auth Failed Error: SMTP_AUTHFAILED Domain/IP: s", Check::kMail,
       Outcome::kFailure, -1, "SMTP_AUTHFAILED Domain/IP: s"},
  };
  const int64_t at = CivilMinute(2026, 12, 9, 0, 30);
  for (const Case& c : cases) {
    auto r = ParseLogLine(Line(c.code, at, "web 1", c.text));
    ASSERT_TRUE(r) << c.text;
    EXPECT_EQ(r->name, "web 1");
    EXPECT_EQ(r->check, c.check) << c.text;
    EXPECT_EQ(r->outcome, c.outcome) << c.text;
    EXPECT_EQ(r->code, c.code) << c.text;
    EXPECT_EQ(r->minute, at) << c.text;
    if (c.outcome != Outcome::kFailure) EXPECT_EQ(r->ms, c.ms) << c.text;
    EXPECT_EQ(r->error, c.error) << c.text;
  }
  EXPECT_EQ(ParseLogLine(Line(1, at, "x", "CUSTOM Port 8080 OK"))->customPort, 8080);
}

TEST(HistoryLog, TimesWidthsAndLinesThatAreNoResults) {
  struct Case {
    std::string line;
    std::optional<int64_t> minute;  // nullopt: no result
  } cases[] = {
      // Half past noon is 00:30 pm; 00:07 am is seven past midnight.
      {"00012 2026/12/09  00:30pm  " + std::string("a") + std::string(64, ' ') +
           " Ping OK time=12ms",
       CivilMinute(2026, 12, 9, 12, 30)},
      {"00012 2026/12/09  00:07am  a" + std::string(64, ' ') + " Ping OK time=12ms",
       CivilMinute(2026, 12, 9, 0, 7)},
      {"00012 2026/12/09  11:59pm  a" + std::string(64, ' ') + " Ping OK time=12ms",
       CivilMinute(2026, 12, 9, 23, 59)},
      // A six-digit code moves every column by one.
      {"123456 2026/12/09  01:00am  a" + std::string(64, ' ') + " Ping OK time=123456ms",
       CivilMinute(2026, 12, 9, 1, 0)},
      {"00012 2026/12/09  12:30pm  a" + std::string(64, ' ') + " Ping OK time=12ms", {}},
      {"00012 2026/02/30  01:30pm  a" + std::string(64, ' ') + " Ping OK time=12ms", {}},
      {"00012 2026/12/09  01:30xm  a" + std::string(64, ' ') + " Ping OK time=12ms", {}},
      {"00012 2026/12/09  01:30pm  a" + std::string(60, ' '), {}},  // cut short
      {"10007 2026/12/09  01:30pm  [Account Created]" + std::string(48, ' ') + " web1", {}},
      {"-0906 2026/12/09  01:30pm  a" + std::string(64, ' ') +
           " HTTP Web LinkCheck Stopped: out of time, 3 of 9 links in page were not checked",
       {}},
      {"1x012 2026/12/09  01:30pm  a" + std::string(64, ' ') + " Ping OK time=12ms", {}},
      {"", {}},
  };
  for (const Case& c : cases) {
    auto r = ParseLogLine(c.line);
    ASSERT_EQ(r.has_value(), c.minute.has_value()) << c.line;
    if (r) EXPECT_EQ(r->minute, *c.minute) << c.line;
  }
  EXPECT_EQ(ParseLogLine(cases[3].line)->ms, 123456);
  for (const char* bad : {"202612091360", "202613010000", "20261209000", "196912312359", "x"}) {
    EXPECT_FALSE(ParseMinute(bad)) << bad;
  }
  const int64_t m = CivilMinute(2028, 2, 29, 23, 59);
  EXPECT_EQ(FormatMinute(m), "202802292359");
  EXPECT_EQ(ParseMinute("202802292359"), m);
  EXPECT_EQ(FormatMinute(m + 1), "202803010000");
}

Result R(const std::string& name, Check check, int64_t minute, Outcome outcome, int64_t ms = -1,
         const std::string& error = "") {
  Result r;
  r.key = common::HexKey(name);
  r.name = name;
  r.check = check;
  r.minute = minute;
  r.outcome = outcome;
  r.ms = ms;
  r.code = outcome == Outcome::kFailure ? -906 : (ms >= 0 ? ms : 1);
  r.error = error;
  r.oneRunPerMinute = check == Check::kPage;
  return r;
}

std::unique_ptr<HistoryStore> NewStore(const TempDir& dir) {
  std::string error;
  auto store = HistoryStore::Open(StorePath(dir.path()), false, false, &error);
  EXPECT_TRUE(store) << error;
  return store;
}

TEST(HistoryStore, AggregatesOutagesAndPageRunsOfOneMinute) {
  TempDir dir;
  auto store = NewStore(dir);
  const int64_t now = NowMinute();
  const int64_t h0 = (now / 60 - 3) * 60;  // three hours back, on the hour
  const std::string key = common::HexKey("web1");
  std::vector<Result> in = {
      R("web1", Check::kPing, h0, Outcome::kSuccess, 10),
      R("web1", Check::kPing, h0 + 1, Outcome::kSuccess, 30),
      R("web1", Check::kPing, h0 + 2, Outcome::kFailure, -1, "TIMEOUT Domain/IP: a"),
      R("web1", Check::kPing, h0 + 3, Outcome::kFailure, -1, "TIMEOUT Domain/IP: b"),
      R("web1", Check::kPing, h0 + 60, Outcome::kSuccess, 20),  // ends the outage
      // A page run with its links: three lines of one minute are one check, failed.
      R("web1", Check::kPage, h0 + 5, Outcome::kSuccess),
      R("web1", Check::kPage, h0 + 5, Outcome::kFailure, -1, "TIMEOUT h/b"),
      R("web1", Check::kPage, h0 + 5, Outcome::kSuccess),
      // FTP stages add up to the check's time.
      R("web1", Check::kXfer, h0 + 7, Outcome::kStep, 2000),
      R("web1", Check::kXfer, h0 + 7, Outcome::kStep, 1000),
      R("web1", Check::kXfer, h0 + 7, Outcome::kSuccess, 0),
  };
  std::string error;
  ASSERT_TRUE(store->Ingest(in, {}, now, &error)) << error;

  auto minutes = store->Buckets(key, Check::kPing, Step::kMinute, h0, h0 + 120, 100);
  ASSERT_EQ(minutes.size(), 5u);
  EXPECT_EQ(minutes[2].fail, 1);
  EXPECT_EQ(minutes[2].error, "TIMEOUT Domain/IP: a");
  auto hours = store->Buckets(key, Check::kPing, Step::kHour, h0, h0 + 120, 100);
  ASSERT_EQ(hours.size(), 2u);
  EXPECT_EQ(hours[0].n, 4);
  EXPECT_EQ(hours[0].fail, 2);
  EXPECT_EQ(hours[0].timed, 2);
  EXPECT_EQ(hours[0].minMs, 10);
  EXPECT_EQ(hours[0].maxMs, 30);
  EXPECT_EQ(hours[0].sumMs, 40);
  auto days = store->Buckets(key, Check::kPing, Step::kDay, h0 - 1440, h0 + 120, 100);
  int64_t n = 0;
  for (const Bucket& b : days) n += b.n;
  EXPECT_EQ(n, 5);
  auto page = store->Buckets(key, Check::kPage, Step::kMinute, h0, h0 + 10, 10);
  ASSERT_EQ(page.size(), 1u);
  EXPECT_EQ(page[0].n, 1);
  EXPECT_EQ(page[0].fail, 1);
  auto xfer = store->Buckets(key, Check::kXfer, Step::kMinute, h0, h0 + 10, 10);
  ASSERT_EQ(xfer.size(), 1u);
  EXPECT_EQ(xfer[0].n, 1);
  EXPECT_EQ(xfer[0].maxMs, 3000);

  auto outages = store->Outages(key, h0, h0 + 120, 10);
  ASSERT_EQ(outages.size(), 2u);  // newest first: the page's (still ongoing), the ping's
  EXPECT_EQ(outages[0].check, Check::kPage);
  EXPECT_FALSE(outages[0].end);
  EXPECT_EQ(outages[1].check, Check::kPing);
  EXPECT_EQ(outages[1].start, h0 + 2);
  EXPECT_EQ(outages[1].end, h0 + 60);
  EXPECT_EQ(outages[1].error, "TIMEOUT Domain/IP: a");
  EXPECT_EQ(store->ChecksOf(key), (std::vector<Check>{Check::kPing, Check::kPage, Check::kXfer}));

  // A later batch adding to the same minute and hour adds, never replaces.
  std::vector<Result> more = {R("web1", Check::kPing, h0 + 1, Outcome::kSuccess, 5)};
  ASSERT_TRUE(store->Ingest(more, {}, now, &error)) << error;
  hours = store->Buckets(key, Check::kPing, Step::kHour, h0, h0, 10);
  ASSERT_EQ(hours.size(), 1u);
  EXPECT_EQ(hours[0].n, 5);
  EXPECT_EQ(hours[0].minMs, 5);
}

TEST(HistoryStore, PruningKeepsExactlyTheSpans) {
  TempDir dir;
  auto store = NewStore(dir);
  const int64_t now = NowMinute();
  struct Case {
    Step step;
    int64_t age;  // minutes before now
    bool kept;
  } cases[] = {
      {Step::kMinute, kPointMinutes, true},   {Step::kMinute, kPointMinutes + 1, false},
      {Step::kHour, kHourMinutes - 60, true}, {Step::kHour, kHourMinutes + 60, false},
      {Step::kDay, kDayMinutes - 1440, true}, {Step::kDay, kDayMinutes + 1440, false},
  };
  // Everything is written while still inside its span, then pruned later.
  std::vector<Result> in;
  for (const Case& c : cases) in.push_back(R("p", Check::kPing, now - c.age, Outcome::kSuccess, 1));
  std::string error;
  for (const Result& r : in) {
    ASSERT_TRUE(store->Ingest({&r, 1}, {}, r.minute, &error)) << error;
  }
  // An outage that ended just inside and one just outside the daily span.
  std::vector<Result> outs = {
      R("p", Check::kHttp, now - kDayMinutes - 10, Outcome::kFailure),
      R("p", Check::kHttp, now - kDayMinutes - 5, Outcome::kSuccess),
      R("p", Check::kHttp, now - kDayMinutes + 5, Outcome::kFailure),
      R("p", Check::kHttp, now - kDayMinutes + 10, Outcome::kSuccess),
  };
  for (const Result& r : outs) ASSERT_TRUE(store->Ingest({&r, 1}, {}, r.minute, &error));
  int rounds = 0;
  while (store->PruneStep(now, 1) > 0) ++rounds;  // one row per pass: incremental
  EXPECT_GE(rounds, 4);
  const std::string key = common::HexKey("p");
  for (const Case& c : cases) {
    const int64_t t = now - c.age;
    auto got = store->Buckets(key, Check::kPing, c.step, t, t, 10);
    EXPECT_EQ(got.size(), c.kept ? 1u : 0u) << StepName(c.step) << " aged " << c.age;
  }
  auto kept = store->Outages(key, now - kDayMinutes - 20, now, 10);
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0].start, now - kDayMinutes + 5);
}

// Everything the routes could show of one account, to compare two stores.
std::string Dump(HistoryStore& store, const std::string& key, int64_t from, int64_t to) {
  std::string out;
  for (size_t c = 0; c < kCheckCount; ++c) {
    for (Step step : {Step::kMinute, Step::kHour, Step::kDay}) {
      for (const Bucket& b : store.Buckets(key, static_cast<Check>(c), step, from, to, 100000)) {
        out += std::to_string(c) + StepName(step) + FormatMinute(b.minute) + " " +
               std::to_string(b.n) + "/" + std::to_string(b.fail) + "/" + std::to_string(b.timed) +
               "/" + std::to_string(b.sumMs) + "/" + std::to_string(b.minMs) + "/" +
               std::to_string(b.maxMs) + " " + b.error + "\n";
      }
    }
  }
  for (const Outage& o : store.Outages(key, from, to, 100000)) {
    out += std::string(CheckName(o.check)) + FormatMinute(o.start) + "-" +
           (o.end ? FormatMinute(*o.end) : "open") + " " + o.error + "\n";
  }
  return out;
}

// Lines of two accounts over the last `minutes` minutes: a ping every minute, failing in
// stretches, and a page check with links.
std::vector<std::pair<int64_t, std::string>> MakeLines(int64_t now, int minutes) {
  std::vector<std::pair<int64_t, std::string>> lines;
  for (int i = minutes; i > 0; --i) {
    const int64_t t = now - i;
    if (i % 17 < 3) {
      lines.push_back({t, Line(-906, t, "web1",
                               "Ping DOWN TIMEOUT Domain/IP: 10.0.0." + std::to_string(i % 7))});
    } else {
      lines.push_back({t, Line(i % 50, t, "web1",
                               "Ping OK time=" + std::to_string(i % 50) + "ms Domain/IP: x")});
    }
    if (i % 5 == 0) {
      lines.push_back({t, Line(1, t, "shop, main", "HTTP Web Link OK  Domain/IP: s/a")});
      if (i % 15 == 0)
        lines.push_back({t, Line(-906, t, "shop, main", "HTTP Web LinkFailed Error: T")});
    }
  }
  return lines;
}

TEST(HistoryFeed, LinesSplitAcrossPassesAndARebuildGiveTheSameStore) {
  TempDir dir;
  const int64_t now = NowMinute();
  auto lines = MakeLines(now, 3 * 1440);  // three days: spans two or more daily logs
  std::string error;
  {
    auto live = NewStore(dir);
    HistoryFeed feed(dir.path());
    feed.SetBatchBytes(3000);
    // The agents append while the console reads: half lines wait for their end.
    for (size_t i = 0; i < lines.size(); i += 997) {
      for (size_t j = i; j < std::min(lines.size(), i + 997); ++j) {
        Append(dir.path(), {lines[j]});
      }
      // The check at `now` comes after all the others, as an agent's next line does.
      const bool last = i + 997 >= lines.size();
      const std::string half = Line(7, now, "web1", "Ping OK time=7ms");
      const std::string path = common::FullLogPath(dir.path(), TimeOf(now));
      if (last) platform::AppendToFile(path, half.substr(0, 40));
      ASSERT_GE(feed.Pass(*live, now, nullptr, &error), 0) << error;
      if (last) platform::AppendToFile(path, half.substr(40) + "\r\n");
    }
    ASSERT_GE(feed.Pass(*live, now, nullptr, &error), 0) << error;
  }
  auto live = HistoryStore::Open(StorePath(dir.path()), true, false, &error);
  ASSERT_TRUE(live);
  const std::string web1 = common::HexKey("web1"), shop = common::HexKey("shop, main");
  const std::string liveWeb1 = Dump(*live, web1, now - 4 * 1440, now);
  const std::string liveShop = Dump(*live, shop, now - 4 * 1440, now);
  EXPECT_NE(liveWeb1.find("PING"), std::string::npos);
  live.reset();

  std::vector<std::string> said;
  ASSERT_EQ(RebuildHistory(dir.path(), [&](const std::string& s) { said.push_back(s); }), 0);
  ASSERT_EQ(said.size(), 2u);
  EXPECT_NE(said[0].find("history.db.replaced-"), std::string::npos) << said[0];
  auto rebuilt = HistoryStore::Open(StorePath(dir.path()), true, false, &error);
  ASSERT_TRUE(rebuilt);
  EXPECT_EQ(Dump(*rebuilt, web1, now - 4 * 1440, now), liveWeb1);
  EXPECT_EQ(Dump(*rebuilt, shop, now - 4 * 1440, now), liveShop);
  // The set-aside store is still there.
  bool kept = false;
  for (const std::string& f : platform::ListFiles(dir / "History")) {
    kept = kept || f.rfind("history.db.replaced-", 0) == 0;
  }
  EXPECT_TRUE(kept);
}

TEST(HistoryFeed, AConsoleKilledWhileReadingLosesAndDoublesNothing) {
  TempDir dir;
  const int64_t now = NowMinute();
  auto lines = MakeLines(now, 2 * 1440);
  Append(dir.path(), lines);
  std::string error;
  NewStore(dir).reset();
  for (int delayMs : {5, 40, 150}) {
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      std::string e;
      auto store = HistoryStore::Open(StorePath(dir.path()), false, false, &e);
      HistoryFeed feed(dir.path());
      feed.SetBatchBytes(2000);
      if (store) feed.Pass(*store, now, nullptr, &e);
      ::_exit(0);
    }
    ::usleep(delayMs * 1000);
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
  }
  {
    auto store = HistoryStore::Open(StorePath(dir.path()), false, true, &error);
    ASSERT_TRUE(store) << error;
    HistoryFeed feed(dir.path());
    ASSERT_GE(feed.Pass(*store, now, nullptr, &error), 0) << error;
  }
  // The same lines read in one go by a store of their own.
  TempDir other;
  Append(other.path(), lines);
  ASSERT_EQ(RebuildHistory(other.path(), [](const std::string&) {}), 0);
  auto a = HistoryStore::Open(StorePath(dir.path()), true, false, &error);
  auto b = HistoryStore::Open(StorePath(other.path()), true, false, &error);
  ASSERT_TRUE(a && b);
  for (const char* name : {"web1", "shop, main"}) {
    const std::string key = common::HexKey(name);
    EXPECT_EQ(Dump(*a, key, now - 3 * 1440, now), Dump(*b, key, now - 3 * 1440, now)) << name;
  }
}

TEST(HistoryWorker, ADamagedStoreIsSetAsideAndRebuiltFromTheLogs) {
  TempDir dir;
  const int64_t now = NowMinute();
  Append(dir.path(), {{now - 3, Line(12, now - 3, "web1", "Ping OK time=12ms Domain/IP: x")}});
  testsupport::WriteFile(StorePath(dir.path()), std::string(8192, 'Z'));
  {
    HistoryWorker worker(dir.path(), 60000);
    worker.Start();
    worker.Nudge();
  }
  bool setAside = false;
  for (const std::string& f : platform::ListFiles(dir / "History")) {
    setAside = setAside || f.rfind("history.db.damaged-", 0) == 0;
  }
  EXPECT_TRUE(setAside);
  std::string error;
  auto store = HistoryStore::Open(StorePath(dir.path()), true, false, &error);
  ASSERT_TRUE(store) << error;
  EXPECT_EQ(
      store->Buckets(common::HexKey("web1"), Check::kPing, Step::kMinute, now - 5, now, 9).size(),
      1u);
  // The console's log says what happened.
  EXPECT_NE(testsupport::ReadFile(common::FullLogPath(dir.path(), platform::LocalNow()))
                .find("[History]"),
            std::string::npos);
}

// A request with query fields.
RouteRequest Get(std::string path, std::map<std::string, std::string> query) {
  return {"GET", std::move(path),
          [query](const char* name) -> std::optional<std::string> {
            auto it = query.find(name);
            if (it == query.end()) return std::nullopt;
            return it->second;
          },
          ""};
}

TEST(HistoryRoutes, BoundsErrorsAndAnswers) {
  TempDir dir;
  const int64_t now = NowMinute();
  const int64_t t = now - 30;
  const std::string key = common::HexKey("web1");
  {
    auto store = NewStore(dir);
    std::vector<Result> in = {
        R("web1", Check::kPing, t, Outcome::kSuccess, 12),
        R("web1", Check::kPing, t + 1, Outcome::kFailure, -1, "TIMEOUT Domain/IP: h"),
    };
    std::string error;
    ASSERT_TRUE(store->Ingest(in, {}, now, &error));
  }
  const PostTask none = [](ConsoleTask) { return false; };
  const std::string programDir = dir.path();
  const RouteContext context{programDir, none};
  const std::string from = FormatMinute(t - 10), to = FormatMinute(t + 10);
  struct Case {
    Reply (*route)(const RouteContext&, RouteRequest&);
    std::map<std::string, std::string> query;
    unsigned status;
  } cases[] = {
      {HistoryRoute, {{"key", key}, {"check", "PING"}, {"from", from}, {"to", to}}, kHttpOk},
      {HistoryRoute,
       {{"key", key}, {"check", "ping"}, {"from", from}, {"to", to}},
       kHttpBadRequest},
      {HistoryRoute,
       {{"key", key}, {"check", "PING"}, {"from", to}, {"to", from}},
       kHttpBadRequest},
      {HistoryRoute,
       {{"key", key}, {"check", "PING"}, {"from", "2026"}, {"to", to}},
       kHttpBadRequest},
      {HistoryRoute,
       {{"key", key}, {"check", "PING"}, {"from", "197001010000"}, {"to", to}},
       kHttpBadRequest},  // longer than five years
      {HistoryRoute,
       {{"key", key}, {"check", "PING"}, {"from", from}, {"to", to}, {"step", "x"}},
       kHttpBadRequest},
      {HistoryRoute, {{"key", "ab"}, {"check", "PING"}, {"from", from}, {"to", to}}, kHttpNotFound},
      {HistoryRoute,
       {{"key", "../x"}, {"check", "PING"}, {"from", from}, {"to", to}},
       kHttpBadRequest},
      {HistoryRoute,
       {{"key", std::string(66, 'a')}, {"check", "PING"}, {"from", from}, {"to", to}},
       kHttpBadRequest},
      {OutagesRoute, {{"key", key}, {"from", from}, {"to", to}}, kHttpOk},
      {OutagesRoute, {{"key", key}, {"from", from}}, kHttpBadRequest},
      {ChecksRoute, {{"key", key}}, kHttpOk},
      {ChecksRoute, {{"key", "abcd"}}, kHttpNotFound},
      {ChecksRoute, {}, kHttpBadRequest},
      {ReportRoute, {{"month", FormatMinute(now).substr(0, 6)}}, kHttpOk},
      {ReportRoute, {{"month", "202613"}}, kHttpBadRequest},
      {ReportRoute, {{"month", "202612"}, {"format", "xml"}}, kHttpBadRequest},
  };
  for (Case& c : cases) {
    RouteRequest request = Get("/", c.query);
    Reply reply = c.route(context, request);
    EXPECT_EQ(reply.status, c.status) << reply.body;
    if (reply.status != kHttpOk) {
      EXPECT_TRUE(json::parse(reply.body).contains("error"));
    }
  }

  RouteRequest chart = Get("/", {{"key", key}, {"check", "PING"}, {"from", from}, {"to", to}});
  json body = json::parse(HistoryRoute(context, chart).body);
  EXPECT_EQ(body["step"], "minute");
  EXPECT_EQ(body["availability"], 50.0);
  ASSERT_EQ(body["points"].size(), 2u);
  EXPECT_EQ(body["points"][0], json::parse(R"({"t":")" + FormatMinute(t) +
                                           R"(","n":1,"fail":0,"min":12,"avg":12.0,"max":12})"));
  EXPECT_EQ(body["points"][1]["error"], "TIMEOUT Domain/IP: h");
  EXPECT_FALSE(body["points"][1].contains("min"));
  // Asked in minutes for a week: hours, and the answer says so.
  RouteRequest week = Get("/", {{"key", key},
                                {"check", "PING"},
                                {"from", FormatMinute(now - 7 * 1440)},
                                {"to", FormatMinute(now)},
                                {"step", "minute"}});
  body = json::parse(HistoryRoute(context, week).body);
  EXPECT_EQ(body["step"], "hour");
  RouteRequest empty = Get("/", {{"key", key}, {"check", "HTTP"}, {"from", from}, {"to", to}});
  EXPECT_TRUE(json::parse(HistoryRoute(context, empty).body)["availability"].is_null());

  RouteRequest outages = Get("/", {{"key", key}, {"from", from}, {"to", to}});
  body = json::parse(OutagesRoute(context, outages).body);
  ASSERT_EQ(body["outages"].size(), 1u);
  EXPECT_TRUE(body["outages"][0]["end"].is_null());
  EXPECT_EQ(body["outages"][0]["start"], FormatMinute(t + 1));

  RouteRequest checks = Get("/", {{"key", key}});
  EXPECT_EQ(json::parse(ChecksRoute(context, checks).body),
            json::parse(R"({"key":")" + key + R"(","name":"web1","checks":["PING"]})"));

  // With the ping group logging errors only, its successes never reach the logs: the share
  // of passed checks is not given, in the chart nor in the month's report.
  common::ScanSettings scan{};
  scan.logOn[common::kGroupPing] = 1;
  ASSERT_TRUE(common::WriteScanSettings(dir.path(), scan));
  body = json::parse(HistoryRoute(context, chart).body);
  EXPECT_TRUE(body["availability"].is_null());
  EXPECT_EQ(body["successesLogged"], false);
  RouteRequest month = Get("/", {{"month", FormatMinute(t).substr(0, 6)}});
  body = json::parse(ReportRoute(context, month).body);
  ASSERT_EQ(body["rows"].size(), 1u);
  EXPECT_TRUE(body["rows"][0]["availability"].is_null());
  scan.logAll[common::kGroupPing] = 1;
  ASSERT_TRUE(common::WriteScanSettings(dir.path(), scan));
  EXPECT_EQ(json::parse(HistoryRoute(context, chart).body)["availability"], 50.0);
}

TEST(HistoryRoutes, StepsFollowTheSpanAndWhatIsKept) {
  const int64_t now = NowMinute();
  struct Case {
    int64_t from, to;
    std::optional<Step> asked;
    Step step;
  } cases[] = {
      {now - 1440, now, {}, Step::kMinute},
      {now - kPointMinutes, now, {}, Step::kMinute},
      {now - kPointMinutes - 1, now, {}, Step::kHour},
      {now - 30 * 1440, now, Step::kMinute, Step::kHour},
      {now - kHourMinutes - 1, now, {}, Step::kDay},
      {now - 1440, now, Step::kDay, Step::kDay},
      {now - 5 * 1440, now - 4 * 1440, Step::kMinute, Step::kHour},  // minutes are gone
      {now - 200 * 1440, now - 199 * 1440, {}, Step::kDay},          // so are hours
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ChooseStep(c.from, c.to, c.asked, now), c.step) << (now - c.from);
  }
}

// A maintenance window around some of the checks: the feed marks the lines inside it, their
// failures open no outage and count neither as failures nor in the availability, and the
// chart's points and the report say how many fell in it.
TEST(HistoryMaintenance, ChecksInAWindowCountApartFromOutages) {
  TempDir dir;
  const int64_t now = NowMinute();
  const int64_t t0 = now - 120;
  const std::string key = common::HexKey("db1");
  // The window covers [t0 + 10, t0 + 20) of db1 only; "other" fails in it as well.
  std::vector<common::MaintenanceWindow> windows = {*common::ParseMaintenanceLine(
      "once " + key + " " + FormatMinute(t0 + 10) + " " + FormatMinute(t0 + 20))};
  ASSERT_TRUE(common::WriteMaintenance(dir.path(), windows));
  std::vector<std::pair<int64_t, std::string>> lines;
  for (int i = 0; i < 30; ++i) {
    const int64_t t = t0 + i;
    const bool down = i >= 12 && i < 18;  // down inside the window only
    for (const char* name : {"db1", "other"}) {
      lines.push_back({t, down ? Line(-906, t, name, "Ping DOWN TIMEOUT Domain/IP: h")
                               : Line(5, t, name, "Ping OK time=5ms Domain/IP: h")});
    }
  }
  lines.push_back({t0 + 30, Line(-906, t0 + 30, "db1", "Ping DOWN TIMEOUT Domain/IP: h")});
  Append(dir.path(), lines);
  {
    auto store = NewStore(dir);
    HistoryFeed feed(dir.path());
    std::string error;
    ASSERT_GE(feed.Pass(*store, now, nullptr, &error), 0) << error;
    auto points = store->Buckets(key, Check::kPing, Step::kMinute, t0, t0 + 40, 100);
    ASSERT_EQ(points.size(), 31u);
    int64_t maint = 0, fail = 0;
    for (const Bucket& b : points) maint += b.maint, fail += b.fail;
    EXPECT_EQ(maint, 10);
    EXPECT_EQ(fail, 1);  // only the failure after the window
    EXPECT_EQ(points[12].maint, 1);
    EXPECT_EQ(points[12].error, "");
    auto hours = store->Buckets(key, Check::kPing, Step::kHour, t0 - 60, t0 + 40, 10);
    int64_t hourMaint = 0;
    for (const Bucket& b : hours) hourMaint += b.maint;
    EXPECT_EQ(hourMaint, 10);
    // db1's only outage begins after the window; "other" was down in it.
    auto outages = store->Outages(key, t0, now, 10);
    ASSERT_EQ(outages.size(), 1u);
    EXPECT_EQ(outages[0].start, t0 + 30);
    auto others = store->Outages(common::HexKey("other"), t0, now, 10);
    ASSERT_EQ(others.size(), 1u);
    EXPECT_EQ(others[0].start, t0 + 12);
    EXPECT_EQ(others[0].end, t0 + 18);
  }
  const PostTask none = [](ConsoleTask) { return false; };
  const std::string programDir = dir.path();
  const RouteContext context{programDir, none};
  RouteRequest r = Get("/api/history", {{"key", key},
                                        {"check", "PING"},
                                        {"from", FormatMinute(t0)},
                                        {"to", FormatMinute(t0 + 40)},
                                        {"step", "minute"}});
  Reply reply = HistoryRoute(context, r);
  ASSERT_EQ(reply.status, kHttpOk) << reply.body;
  json body = json::parse(reply.body);
  EXPECT_EQ(body["maintenance"], 10);
  EXPECT_EQ(body["availability"], 95.238);  // 20 of the 21 checks outside the window
  EXPECT_EQ(body["points"][12]["maint"], 1);
  EXPECT_FALSE(body["points"][0].contains("maint"));

  EXPECT_EQ(Availability(31, 1, 10), 95.238);
  EXPECT_EQ(Availability(10, 0, 10), std::nullopt);  // all of it maintenance
  EXPECT_EQ(Availability(4, 1), 75.0);
}

// A store written before the maintenance count existed: read as it is (no maintenance),
// and the writer adds the column without losing a row.
TEST(HistoryMaintenance, AStoreWithoutTheColumnIsReadAndUpgraded) {
  TempDir dir;
  const int64_t now = NowMinute();
  const std::string key = common::HexKey("old");
  {
    auto store = NewStore(dir);
    std::vector<Result> in = {R("old", Check::kPing, now - 5, Outcome::kSuccess, 8),
                              R("old", Check::kPing, now - 4, Outcome::kFailure, -1, "T")};
    std::string error;
    ASSERT_TRUE(store->Ingest(in, {}, now, &error)) << error;
  }
  // Take the column out again, as an older console made the tables.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(StorePath(dir.path()).c_str(), &db), SQLITE_OK);
  for (const char* sql :
       {"ALTER TABLE points DROP COLUMN maint", "ALTER TABLE hours DROP COLUMN maint",
        "ALTER TABLE days DROP COLUMN maint"}) {
    ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  }
  sqlite3_close(db);
  std::string error;
  {
    auto reader = HistoryStore::Open(StorePath(dir.path()), true, false, &error);
    ASSERT_TRUE(reader) << error;
    auto points = reader->Buckets(key, Check::kPing, Step::kMinute, now - 10, now, 10);
    ASSERT_EQ(points.size(), 2u);
    EXPECT_EQ(points[1].fail, 1);
    EXPECT_EQ(points[1].maint, 0);
    EXPECT_EQ(reader->Report(now - 2 * 1440, now + 1440, now).size(), 1u);
  }
  auto writer = NewStore(dir);
  ASSERT_TRUE(writer);
  Result late = R("old", Check::kPing, now - 3, Outcome::kFailure, -1, "T");
  late.maintenance = true;
  ASSERT_TRUE(writer->Ingest({&late, 1}, {}, now, &error)) << error;
  auto points = writer->Buckets(key, Check::kPing, Step::kMinute, now - 10, now, 10);
  ASSERT_EQ(points.size(), 3u);
  EXPECT_EQ(points[0].timed, 1);
  EXPECT_EQ(points[2].maint, 1);
  EXPECT_EQ(points[2].fail, 0);
}

TEST(HistoryReport, MonthRowsAndCsv) {
  TempDir dir;
  const int64_t now = NowMinute();
  // The month before this one, derived from now.
  const std::string thisMonth = FormatMinute(now).substr(0, 6);
  const int64_t monthStart = *ParseMinute(thisMonth + "010000");
  const std::string last = FormatMinute(monthStart - 1).substr(0, 6);
  const int64_t m0 = *ParseMinute(last + "010000");
  {
    auto store = NewStore(dir);
    std::vector<Result> in;
    for (int i = 0; i < 100; ++i)
      in.push_back(R("a \"b\", c", Check::kPing, m0 + 600 + i,
                     i < 4 ? Outcome::kFailure : Outcome::kSuccess, 10 + i % 2));
    in.push_back(R("web1", Check::kHttp, m0 - 10, Outcome::kFailure));  // begins the month before
    in.push_back(R("web1", Check::kHttp, m0 + 20, Outcome::kSuccess));
    std::string error;
    ASSERT_TRUE(store->Ingest(in, {}, monthStart + 5, &error)) << error;
  }
  std::string error;
  auto store = HistoryStore::Open(StorePath(dir.path()), true, false, &error);
  auto span = MonthSpan(last);
  auto rows = store->Report(span->first, span->second, now);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(ReportCsv(rows),
            "Account,Check,Availability %,Outages,Longest outage (min),Average ms\r\n"
            "\"a \"\"b\"\", c\",PING,96,1,4,10.5\r\n"
            "web1,HTTP,100,1,20,\r\n");
  // Names a spreadsheet would run as formulas stay text.
  for (const auto& [name, field] : std::vector<std::pair<std::string, std::string>>{
           {"=HYPERLINK(\"http://x\")", "\"'=HYPERLINK(\"\"http://x\"\")\""},
           {"+1", "'+1"},
           {"-2", "'-2"},
           {"@SUM(A1)", "'@SUM(A1)"},
           {"a=b", "a=b"}}) {
    std::vector<ReportRow> one = {rows[1]};
    one[0].name = name;
    EXPECT_EQ(ReportCsv(one).substr(ReportCsv(one).find("\r\n") + 2),
              field + ",HTTP,100,1,20,\r\n");
  }
  json j = ReportJson(last, rows);
  EXPECT_EQ(j["month"], last);
  EXPECT_EQ(j["rows"][0]["availability"], 96.0);
  EXPECT_EQ(j["rows"][0]["longestMinutes"], 4);
  EXPECT_EQ(j["rows"][0]["maintenance"], 0);
  EXPECT_TRUE(j["rows"][1]["avgMs"].is_null());
  EXPECT_FALSE(MonthSpan("20261"));
  EXPECT_FALSE(MonthSpan("202600"));
}

}  // namespace
}  // namespace console::history
