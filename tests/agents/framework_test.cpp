// The framework's pieces, table-driven: command line, error texts, templates, recipient
// lists, the mail job layout, retry lines, the Down/Up bookkeeping and the mail server test.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "agents/framework/account_frame.h"
#include "agents/framework/account_pool.h"
#include "agents/framework/alert_dispatch.h"
#include "agents/framework/alert_text.h"
#include "agents/framework/command_line.h"
#include "agents/framework/error_text.h"
#include "agents/framework/mail_job.h"
#include "agents/framework/probe_checks.h"
#include "agents/framework/retry_file.h"
#include "common/account_key.h"
#include "common/file_ops.h"
#include "common/status_update.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/ini.h"
#include "support/temp_dir.h"

namespace agents {
namespace {

TEST(CommandLine, SplitsAtTheLastBlank) {
  struct Case {
    const char* line;
    bool ok;
    const char* dir;
    long n;
  } cases[] = {
      {"/srv/mon 1", true, "/srv/mon", 1},
      {"/opt/Program Files/Mon 3", true, "/opt/Program Files/Mon", 3},
      {"/a b c 0", true, "/a b c", 0},
      {"/srv/mon 12345", true, "/srv/mon", 12345},
      {"/srv/mon -2", true, "/srv/mon", -2},
      {"/srv/mon", false, "", 0},
      {"/srv/mon ", false, "", 0},
      {" 1", false, "", 0},
      {"/srv/mon x1", false, "", 0},
      {"/srv/mon 1x", false, "", 0},
      {"", false, "", 0},
  };
  for (const Case& c : cases) {
    std::optional<AgentCommand> got = SplitCommandLine(c.line);
    ASSERT_EQ(got.has_value(), c.ok) << c.line;
    if (!c.ok) continue;
    EXPECT_EQ(got->programDir, c.dir) << c.line;
    EXPECT_EQ(got->n, c.n) << c.line;
  }
}

TEST(ErrorTexts, ChosenByResultCode) {
  struct Case {
    int32_t code;
    bool authTexts;
    const char* text;
  } cases[] = {
      {15, false, " Domain/IP: h1"},
      {0, true, " Domain/IP: h1"},
      {-906, false, "TIMEOUT Domain/IP: h1"},
      {-908, false, "TIMEOUT Domain/IP: h1"},
      {-902, true, "CONNECT Domain/IP: h1"},
      {-900, false, "OPEN_SOCKET Domain/IP: h1"},
      {-909, false, "TOOFEWBYTE_REC Domain/IP: h1"},
      {-850, false, "INCORRECT_VERSION Domain/IP: h1"},
      {-51, false, "HOST_DENY Domain/IP: h1"},
      {-903, false, "Unreachable Domain/IP: h1"},
      {-1, true, "Unreachable Domain/IP: h1"},
      {-911, true, "SMTP_AUTHFAILED Domain/IP: h1"},
      {-912, true, "FTP_AUTHFAILED Domain/IP: h1"},
      {-17, true, "POP3_AUTHFAILED Domain/IP: h1"},
      {-911, false, "Unreachable Domain/IP: h1"},
      {-17, false, "Unreachable Domain/IP: h1"},
      {-940, true, "TLS_HANDSHAKE Domain/IP: h1"},
      {-941, true, "CERT_UNTRUSTED Domain/IP: h1"},
      {-942, true, "CERT_EXPIRED Domain/IP: h1"},
      {-943, true, "CERT_HOSTNAME Domain/IP: h1"},
      {-944, true, "CERT_EXPIRING Domain/IP: h1"},
      {-945, true, "TLS_REFUSED Domain/IP: h1"},
      {-945, false, "Unreachable Domain/IP: h1"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ErrorText(c.code, "h1", c.authTexts), c.text) << c.code;
  }
}

TEST(Templates, ReplaceEveryPlaceholder) {
  const std::string key = common::HexKey("web1");
  TemplateValues down{key, "10.0.0.1", "PING", "20261207090530",
                      "Ping DOWN TIMEOUT Domain/IP: 10.0.0.1"};
  TemplateValues up = down;
  up.message = "";
  TemplateValues badTime = down;
  badTime.checkTime = "2026120709053";
  const std::string suffixed = key + "(ssh)";
  TemplateValues custom{suffixed, "h", "ssh", "20261207090530", ""};
  struct Case {
    const char* tmpl;
    const TemplateValues* values;
    const char* out;
  } cases[] = {
      {"%S is down (%E) at %T", &down,
       "web1 is down (Ping DOWN TIMEOUT Domain/IP: 10.0.0.1) at 2026/12/07 09:05:30"},
      {"%S is up (%E) at %T", &up, "web1 is up () at 2026/12/07 09:05:30"},
      {"%C %I %C %I", &down, "PING 10.0.0.1 PING 10.0.0.1"},
      {"[%T]", &badTime, "[]"},
      {"%s %i %X 100% %", &down, "%s %i %X 100% %"},
      {"%%S", &down, "%web1"},
      {"%S on %C", &custom, "web1(ssh) on ssh"},
      {"", &down, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ExpandTemplate(c.tmpl, *c.values), c.out) << c.tmpl;
  }
}

TEST(Recipients, MailListsJoinWithSingleCommas) {
  struct Case {
    bool useGeneral;
    const char* general;
    bool useOwn;
    const char* own;
    const char* to;
  } cases[] = {
      {true, "A\r\nB\r\n", true, "C", "A,B,C"},
      {false, "A\r\nB\r\n", true, "C", "C"},
      {true, "A\r\nB\r\n", false, "C", "A,B"},
      {true, "A\nB", true, "C\r\nD\r\n", "A,B,C,D"},
      {true, "", true, "C", "C"},
      {true, "A", true, "", "A"},
      {false, "", false, "", ""},
      {true, "a@x.example,b@x.example", false, "", "a@x.example,b@x.example"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MailRecipients(c.useGeneral, c.general, c.useOwn, c.own), c.to)
        << c.general << "|" << c.own;
  }
}

TEST(Recipients, LanListsCutAtLineEndsAndCommas) {
  const std::string longName(150, 'x');
  const std::string almost(149, 'y');
  struct Case {
    std::string list;
    std::vector<std::string> recipients;
  } cases[] = {
      {"PC1,PC2\r\nPC3", {"PC1", "PC2", "PC3"}},
      {"PC1\nPC2\r\n", {"PC1", "PC2"}},
      {"PC1," + longName + ",PC2", {"PC1", "PC2"}},
      {almost, {almost}},
      {"", {}},
      {",,\r\n", {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LanRecipients(c.list), c.recipients) << c.list;
  }
}

TEST(MailJob, FileIsPrivateAndNamedWithThePrefix) {
  testsupport::TempDir tmp;
  mail::MailJob job;
  job.smtpHost = "h";
  const std::string path = WriteMailJobFile(tmp / "deep/er", job);
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(platform::DirName(path), tmp / "deep/er");
  EXPECT_EQ(path.substr(path.rfind('/') + 1, 3), "CON");
  EXPECT_EQ(testsupport::ReadFile(path), mail::EncodeMailJob(job));
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(MailJob, CharsetFromLanguageName) {
  const std::map<std::string, int32_t> table = {{"US", 0},
                                                {"ANSI_CHARSET", 0},
                                                {"HANGEUL_CHARSET", 129},
                                                {"GB2312_CHARSET", 134},
                                                {"CHINESEBIG5_CHARSET", 136},
                                                {"OEM_CHARSET", 255},
                                                {"JOHAB_CHARSET", 130},
                                                {"HEBREW_CHARSET", 177},
                                                {"ARABIC_CHARSET", 178},
                                                {"GREEK_CHARSET", 161},
                                                {"TURKISH_CHARSET", 162},
                                                {"VIETNAMESE_CHARSET", 163},
                                                {"THAI_CHARSET", 222},
                                                {"EASTEUROPE_CHARSET", 238},
                                                {"RUSSIAN_CHARSET", 204},
                                                {"JP", 128},
                                                {"", 128},
                                                {"us", 128},
                                                {"SHIFTJIS_CHARSET", 128}};
  for (const auto& [name, code] : table) EXPECT_EQ(CharsetForLanguage(name), code) << name;
  // What the agents pass: their alert mail always carries 128 (Shift-JIS texts).
  EXPECT_EQ(CharsetForLanguage(kAlertMailLanguage), 128);
}

// Attempts of the checks: each case scripts the probe's answers and expects how many were
// asked, the deciding result and the verdict.
struct AttemptCase {
  const char* what;
  int32_t firstFrom, secondFrom;  // -1, -1: the ping rule
  std::vector<int32_t> answers;
  size_t asked;
  int32_t result;
  bool ok;
};

std::vector<AttemptCase> AttemptCases() {
  return {
      {"http up", 0, 0, {0}, 1, 0, true},
      {"http second", 0, 0, {-902, 1}, 2, 1, true},
      {"http down", 0, 0, {-902, -906}, 2, -906, false},
      {"smtp zero", 1, 1, {0, 0}, 2, 0, false},
      {"smtp second", 1, 1, {0, 1}, 2, 1, true},
      {"custom zero first", 1, 0, {0, 0}, 2, 0, true},
      {"custom down", 1, 0, {0, -1}, 2, -1, false},
      {"ping zero ms", -1, -1, {0}, 1, 0, true},
      {"ping fourth", -1, -1, {-906, -906, -906, 12}, 4, 12, true},
      {"ping down", -1, -1, {-906, -906, -906, -906, -906, -907}, 6, -907, false},
  };
}

// One after another: the pool of one worker and one open account, attempts that answer at
// once. Each case is decided before the next one's first attempt, and the pauses (500 ms,
// between a failed attempt and the next, none after the last) are the pool's timers.
TEST(Attempts, PortAgentsAskTwiceAndPingSixTimes) {
  const std::vector<AttemptCase> cases = AttemptCases();
  std::vector<std::string> keys;
  for (size_t i = 0; i < cases.size(); ++i) keys.push_back(std::to_string(i));
  std::vector<std::vector<int64_t>> askedAt(cases.size());
  std::vector<int64_t> decidedAt(cases.size(), -1);
  agents::AccountPool pool(1, 1);
  pool.Run(keys, [&](const std::string& key) {
    const size_t i = std::stoul(key);
    const AttemptCase& c = cases[i];
    if (i > 0) {
      EXPECT_GE(decidedAt[i - 1], 0) << c.what << ": begun before the last was decided";
    }
    agents::AttemptLater attempt = [&, i](std::function<void(int32_t)> done) {
      const size_t asked = askedAt[i].size();
      askedAt[i].push_back(platform::MonotonicMs());
      done(cases[i].answers.at(asked));
    };
    agents::Decided decided = [&, i](int32_t result, bool ok) {
      const AttemptCase& c = cases[i];
      const size_t asked = askedAt[i].size();
      decidedAt[i] = platform::MonotonicMs();
      EXPECT_EQ(asked, c.asked) << c.what;
      EXPECT_EQ(result, c.result) << c.what;
      EXPECT_EQ(ok, c.ok) << c.what;
      // No pause after the last attempt.
      EXPECT_LT(decidedAt[i] - askedAt[i].back(), 450) << c.what;
    };
    if (c.firstFrom < 0) {
      agents::TryPingLater(pool, attempt, decided);
    } else {
      agents::TryPortTwiceLater(pool, attempt, c.firstFrom, c.secondFrom, decided);
    }
  });
  for (size_t i = 0; i < cases.size(); ++i) {
    const AttemptCase& c = cases[i];
    EXPECT_GE(decidedAt[i], 0) << c.what;
    EXPECT_EQ(askedAt[i].size(), c.asked) << c.what;
    for (size_t a = 1; a < askedAt[i].size(); ++a) {
      EXPECT_GE(askedAt[i][a] - askedAt[i][a - 1], 490) << c.what << " pause " << a;
    }
  }
}

// The same rules with attempts that answer later, from another thread or at once, and the
// pauses on the pool's clock: all cases side by side on two workers.
TEST(Attempts, TheSameRulesWithoutHoldingAWorker) {
  const std::vector<AttemptCase> cases = AttemptCases();
  std::vector<std::string> keys;
  for (size_t i = 0; i < cases.size(); ++i) keys.push_back(std::to_string(i));
  struct Outcome {
    std::vector<int64_t> askedAt;
    int32_t result = 1234;
    bool ok = false;
    int decided = 0;
  };
  std::vector<Outcome> outcomes(cases.size());
  std::vector<std::thread> answerers;
  std::mutex mutex;
  agents::AccountPool pool(2, 100);
  pool.Run(keys, [&](const std::string& key) {
    const size_t i = std::stoul(key);
    const AttemptCase& c = cases[i];
    Outcome& out = outcomes[i];
    agents::AttemptLater attempt = [&, i](std::function<void(int32_t)> done) {
      int32_t answer = c.answers.at(out.askedAt.size());
      out.askedAt.push_back(platform::MonotonicMs());
      if (i % 2 == 0) return done(answer);
      std::lock_guard<std::mutex> hold(mutex);
      answerers.emplace_back([done, answer] { done(answer); });
    };
    agents::Decided decided = [&out](int32_t result, bool ok) {
      out.result = result;
      out.ok = ok;
      ++out.decided;
    };
    if (c.firstFrom < 0) {
      agents::TryPingLater(pool, attempt, decided);
    } else {
      agents::TryPortTwiceLater(pool, attempt, c.firstFrom, c.secondFrom, decided);
    }
  });
  for (std::thread& t : answerers) t.join();
  for (size_t i = 0; i < cases.size(); ++i) {
    const AttemptCase& c = cases[i];
    const Outcome& out = outcomes[i];
    EXPECT_EQ(out.decided, 1) << c.what;
    EXPECT_EQ(out.askedAt.size(), c.asked) << c.what;
    EXPECT_EQ(out.result, c.result) << c.what;
    EXPECT_EQ(out.ok, c.ok) << c.what;
    for (size_t a = 1; a < out.askedAt.size(); ++a) {
      EXPECT_GE(out.askedAt[a] - out.askedAt[a - 1], 490) << c.what << " pause " << a;
    }
  }
}

TEST(RetryFile, LinesSplitAtTheFirstTwoCommas) {
  const std::string content =
      "/d/AllData/6b,/d/PINGData/6b,6b\r\n"
      "no commas\r\n"
      "one,comma\r\n"
      "/a,/b,c,d\r\n"
      "/x,/y,z\n"  // ended by LF only: runs on to the next CR
      "/p,/q,r\r\n"
      "/tail,/t,unterminated";
  std::vector<RetryEntry> got = ParseRetryLines(content);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].accountPath, "/d/AllData/6b");
  EXPECT_EQ(got[0].statusPath, "/d/PINGData/6b");
  EXPECT_EQ(got[0].key, "6b");
  EXPECT_EQ(got[1].key, "c,d");
  EXPECT_EQ(got[2].key, "z\n/p,/q,r");
}

TEST(RetryFile, TakingItLosesNoLineAppendedAfterwards) {
  testsupport::TempDir tmp;
  const std::string path = tmp / "temp/pingscan.err";
  AppendRetryLine(path, "/d/AllData/a", "/d/PINGData/a", "a");
  AppendRetryLine(path, "/d/AllData/b", "/d/PINGData/b", "b");
  EXPECT_EQ(testsupport::ReadFile(path),
            "/d/AllData/a,/d/PINGData/a,a\r\n/d/AllData/b,/d/PINGData/b,b\r\n");
  std::vector<RetryEntry> taken = TakeRetryFile(path);
  ASSERT_EQ(taken.size(), 2u);
  EXPECT_EQ(taken[1].key, "b");
  EXPECT_FALSE(platform::PathExists(path));
  // Nothing of the taken file is left behind, not even its private name.
  EXPECT_TRUE(std::filesystem::is_empty(tmp / "temp"));
  // A line appended now starts a new file for the next re-check run.
  AppendRetryLine(path, "/d/AllData/c", "/d/PINGData/c", "c");
  EXPECT_EQ(TakeRetryFile(path).size(), 1u);
  EXPECT_TRUE(TakeRetryFile(path).empty());
}

platform::SystemTime At(int y, int mo, int d, int h, int mi, int s) {
  platform::SystemTime t{};
  t.year = y, t.month = mo, t.day = d, t.hour = h, t.minute = mi, t.second = s;
  return t;
}

TEST(DownUpRule, ConsecutiveFailuresAndSuccess) {
  common::CheckStatus s = common::NewCheckStatus(At(2026, 1, 1, 0, 0, 0));
  // First failure: Failing, nothing raised.
  EXPECT_FALSE(RecordFailure(s, At(2026, 1, 31, 23, 58, 0), true, false));
  EXPECT_EQ(s.failCount, 1);
  EXPECT_STREQ(s.lastFailure, "20260131235800");
  EXPECT_EQ(s.errorDetected[0], '\0');
  EXPECT_EQ(s.downSeconds, 0u);
  // Second failure, across the month's end: Down, raised once; 300 seconds down.
  EXPECT_TRUE(RecordFailure(s, At(2026, 2, 1, 0, 3, 0), true, false));
  EXPECT_EQ(s.failCount, 2);
  EXPECT_STREQ(s.errorDetected, "20260201000300");
  EXPECT_EQ(s.downSeconds, 300u);
  // Third failure: the alert of this outage was raised already.
  EXPECT_FALSE(RecordFailure(s, At(2026, 2, 1, 0, 8, 0), false, false));
  EXPECT_EQ(s.downSeconds, 600u);
  // A caller that read the record before the alert was stored does not raise it again.
  EXPECT_FALSE(RecordFailure(s, At(2026, 2, 1, 0, 9, 0), true, false));
  RecordSuccess(s);
  EXPECT_EQ(s.failCount, 0);
  EXPECT_EQ(s.lastFailure[0], '\0');
  EXPECT_EQ(s.errorDetected[0], '\0');
  EXPECT_EQ(s.downSeconds, 660u);
  EXPECT_EQ(s.statsStart.year, 2026);
}

TEST(DownUpRule, CounterStopsAtItsTop) {
  common::CheckStatus s = common::NewCheckStatus(At(2026, 1, 1, 0, 0, 0));
  for (int i = 0; i < 300; ++i) RecordFailure(s, At(2026, 1, 1, 1, 0, 0), false, false);
  EXPECT_EQ(s.failCount, 127);
}

TEST(DownUpRule, FirstRunResetKeepsTheActiveWord) {
  common::CheckStatus s{};
  s.enabled = 1;
  s.failCount = 5;
  s.downSeconds = 99;
  s.checking = 1;
  common::SetField(s.lastFailure, "20260101000000");
  common::SetField(s.errorDetected, "20260101000000");
  ResetStatusBlock(s, At(2026, 3, 4, 5, 6, 7));
  common::CheckStatus expected{};
  expected.enabled = 1;
  expected.statsStart = At(2026, 3, 4, 5, 6, 7);
  EXPECT_EQ(std::memcmp(&s, &expected, sizeof s), 0);
}

// Fake network checks for the mail server test.
struct FakeNet {
  static inline std::map<std::string, int32_t> ping, port;
  static int32_t Ping(const char* h, int32_t, int32_t, int32_t, int32_t) {
    auto it = ping.find(h);
    return it == ping.end() ? -906 : it->second;
  }
  static int32_t Port(const char* h, int32_t, int32_t) {
    auto it = port.find(h);
    return it == port.end() ? -902 : it->second;
  }
};

TEST(MailServer, PrimaryThenAlternate) {
  common::AlertSettings settings{};
  common::AlertAuth auth{};
  common::SetField(auth.primaryUser, "pu");
  common::SetField(auth.primaryPassword, "pp");
  common::SetField(auth.alternateUser, "au");
  common::SetField(auth.alternatePassword, "ap");
  MailServerProbes probes{&FakeNet::Ping, &FakeNet::Port};
  struct Case {
    const char* primary;
    const char* alternate;
    std::map<std::string, int32_t> ping, port;
    const char* chosen;  // "" none
    const char* user;
  } cases[] = {
      {"p", "a", {{"p", 5}, {"a", 5}}, {{"p", 1}, {"a", 1}}, "p", "pu"},
      {"p", "a", {{"a", 5}}, {{"p", 1}, {"a", 1}}, "a", "au"},
      {"p", "a", {{"p", 5}, {"a", 5}}, {{"a", 1}}, "a", "au"},
      // A round trip within one millisecond measures 0 and still counts as reachable.
      {"p", "a", {{"p", 0}}, {{"p", 1}}, "p", "pu"},
      {"p", "", {{"p", -906}}, {{"p", 1}}, "", ""},
      {"", "a", {{"a", 3}}, {{"a", 1}}, "a", "au"},
      {"p", "a", {{"p", 3}, {"a", 3}}, {{"p", 0}, {"a", 2}}, "", ""},
      {"", "", {}, {}, "", ""},
  };
  for (const Case& c : cases) {
    common::SetField(settings.primaryServer, c.primary);
    common::SetField(settings.alternateServer, c.alternate);
    FakeNet::ping = c.ping;
    FakeNet::port = c.port;
    std::optional<MailServerChoice> got = ChooseMailServer(settings, auth, probes);
    ASSERT_EQ(got.has_value(), c.chosen[0] != '\0') << c.primary << "/" << c.alternate;
    if (!got) continue;
    EXPECT_EQ(got->server, c.chosen);
    EXPECT_EQ(got->user, c.user);
    EXPECT_EQ(got->password, std::string(c.user[0] == 'p' ? "pp" : "ap"));
  }
}

TEST(AlertFiles, LanMessageAndLogDestination) {
  EXPECT_EQ(LanMessageText("PC01", "Server down"), "PC01\r\nKT.Varnock2\r\nServer down\r\n");
  EXPECT_EQ(MailLogDestination("/srv/mon dir"), "/srv/mon dir/RelayKitLog,1,KT.Varnock");
}

TEST(Keys, OnlyPlainFileNamesAreChecked) {
  for (const char* bad : {"", ".hidden", "../etc", "a/b"}) EXPECT_FALSE(IsSafeKey(bad)) << bad;
  for (const char* good : {"776562", "6b(ssh)"}) EXPECT_TRUE(IsSafeKey(good)) << good;
}

}  // namespace
}  // namespace agents

using agents::ForEachAccount;
using agents::ReadScanParallel;

// The bound of a run: from the settings file, the default for anything unusable, capped.
TEST(AccountPool, BoundFromTheSettingsFile) {
  const std::pair<const char*, size_t> table[] = {
      {nullptr, 64}, {"1", 1}, {"128", 128}, {"0", 64}, {"-3", 64}, {"many", 64}, {"5000", 1024},
  };
  for (const auto& [text, bound] : table) {
    testsupport::TempDir dir;
    if (text) platform::IniSetString(common::IniPath(dir.path()), "PROGRAM", "SCANPARALLEL", text);
    EXPECT_EQ(ReadScanParallel(dir.path()), bound) << (text ? text : "(none)");
  }
}

// A bound of 1 works the accounts in their order in the calling thread; a larger one has at
// most that many in flight and works every account exactly once.
TEST(AccountPool, EveryAccountOnceWithinTheBound) {
  std::vector<std::string> keys;
  for (int i = 0; i < 40; ++i) keys.push_back("k" + std::to_string(i));
  std::vector<std::string> order;
  const std::thread::id caller = std::this_thread::get_id();
  ForEachAccount(keys, 1, [&](const std::string& key) {
    EXPECT_EQ(std::this_thread::get_id(), caller);
    order.push_back(key);
  });
  EXPECT_EQ(order, keys);

  std::mutex mutex;
  std::multiset<std::string> seen;
  std::atomic<int> inFlight{0}, most{0};
  ForEachAccount(keys, 8, [&](const std::string& key) {
    int now = ++inFlight;
    for (int m = most; now > m && !most.compare_exchange_weak(m, now);) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    --inFlight;
    std::lock_guard<std::mutex> hold(mutex);
    seen.insert(key);
  });
  EXPECT_EQ(seen, std::multiset<std::string>(keys.begin(), keys.end()));
  EXPECT_LE(most.load(), 8);
  EXPECT_GT(most.load(), 1) << "the accounts were worked one after another";
}

// Accounts whose checks wait outside the workers: each account's steps keep their order,
// with one worker and one open account the accounts follow one another whole, and with more
// the waits run side by side up to the open limit.
TEST(AccountPool, WaitsLeaveTheWorkers) {
  struct Case {
    size_t workers, openLimit, accounts;
  };
  for (const Case c : {Case{1, 1, 8}, Case{2, 10, 40}, Case{2, 200, 40}}) {
    agents::AccountPool pool(c.workers, c.openLimit);
    std::vector<std::string> keys;
    for (size_t i = 0; i < c.accounts; ++i) keys.push_back(std::to_string(i));
    std::mutex mutex;
    std::vector<std::string> steps;
    std::vector<std::thread> network;
    int open = 0, mostOpen = 0;
    auto step = [&](const std::string& what, int change) {
      std::lock_guard<std::mutex> hold(mutex);
      steps.push_back(what);
      open += change;
      mostOpen = std::max(mostOpen, open);
    };
    const int64_t start = platform::MonotonicMs();
    pool.Run(keys, [&](const std::string& key) {
      step("begin " + key, 1);
      pool.Hold();
      std::lock_guard<std::mutex> hold(mutex);
      // An answer 200 ms later from another thread, then a pause on the pool's clock.
      network.emplace_back([&, key] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        pool.Resume([&, key] {
          step("answer " + key, 0);
          pool.After(20, [&, key] { step("end " + key, -1); });
        });
      });
    });
    const int64_t elapsed = platform::MonotonicMs() - start;
    for (std::thread& t : network) t.join();
    ASSERT_EQ(steps.size(), 3 * keys.size()) << c.openLimit;
    for (const std::string& key : keys) {
      auto at = [&](const std::string& what) {
        return std::find(steps.begin(), steps.end(), what + " " + key) - steps.begin();
      };
      EXPECT_LT(at("begin"), at("answer")) << key;
      EXPECT_LT(at("answer"), at("end")) << key;
    }
    EXPECT_EQ(open, 0);
    EXPECT_LE(mostOpen, static_cast<int>(c.openLimit));
    if (c.openLimit == 1) {
      for (size_t i = 0; i < keys.size(); ++i) {
        EXPECT_EQ(steps[3 * i], "begin " + keys[i]);
        EXPECT_EQ(steps[3 * i + 2], "end " + keys[i]);
      }
    } else {
      EXPECT_EQ(mostOpen, static_cast<int>(std::min<size_t>(c.openLimit, keys.size())));
    }
    if (c.openLimit == 200) {
      // Two workers holding 200 ms waits would take 4 s; side by side it is one wait.
      EXPECT_LT(elapsed, 2500) << "the waits held the workers";
    }
  }
}
