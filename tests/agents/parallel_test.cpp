// Agents checking their accounts side by side: every account's own record, lines, retry
// entry and alerts come out as they do one after another, and the console's enable toggles
// survive agents of other groups writing the same program directory at the same time.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "common/account_key.h"
#include "common/file_ops.h"
#include "common/status_update.h"
#include "net_lab.h"
#include "platform/files.h"
#include "platform/ini.h"
#include "testkit.h"

namespace {

using common::StatusFolder;
using testkit::ProgramDir;

constexpr int kAccounts = 200;

std::string Name(int i) {
  char name[16];
  std::snprintf(name, sizeof name, "acct%03d", i);
  return name;
}

// Every tenth account (20 of 200) is dead.
bool Dead(int i) {
  return i % 10 == 3;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

// The account named in a log line's name field.
std::string LineName(const std::string& line) {
  std::string field = line.substr(27, 65);
  return field.substr(0, field.find(' '));
}

// An account that sends its Down and Up LAN messages to itself only ("PC9"); no mail.
common::AccountFile LanAccount(const std::string& name, const std::string& host) {
  common::AccountFile a = testkit::ServerAccount(name, host);
  a.record.onlineToAccount = 1;
  a.netSendAddresses = "PC9";
  a.downOnline = "down %S";
  a.upOnline = "up %S";
  return a;
}

// What a finished run must have left for 200 accounts after `runs` runs: the records, one
// line per account and run in both logs, the retry file naming exactly the dead, the state
// words, and one Down message per dead account from the second run on.
void ExpectRunOutcome(ProgramDir& pd, StatusFolder folder, const std::string& stateFile,
                      size_t downOffset, const std::string& retryFile, int runs,
                      const std::string& okText, const std::string& downText) {
  for (int i = 0; i < kAccounts; ++i) {
    SCOPED_TRACE(Name(i));
    common::CheckStatus s = testkit::ReadStatus(pd, folder, Name(i));
    EXPECT_EQ(s.enabled, 1u);
    EXPECT_EQ(std::strlen(s.lastCheck), 14u);
    EXPECT_EQ(s.checking, 0);
    EXPECT_EQ(s.failCount, Dead(i) ? runs : 0);
    EXPECT_EQ(std::strlen(s.lastFailure), Dead(i) ? 14u : 0u);
    EXPECT_EQ(std::strlen(s.errorDetected), Dead(i) && runs > 1 ? 14u : 0u);
  }
  for (bool display : {false, true}) {
    std::map<std::string, int> ok, down;
    for (const std::string& line : Lines(pd.TodayLog(display))) {
      std::string name = LineName(line);
      if (display) name = common::DecodeKey(name);
      if (line.find(okText) != std::string::npos) ++ok[name];
      if (line.find(downText) != std::string::npos) ++down[name];
    }
    for (int i = 0; i < kAccounts; ++i) {
      EXPECT_EQ(ok[Name(i)], Dead(i) ? 0 : runs) << Name(i) << (display ? " (Disp)" : "");
      EXPECT_EQ(down[Name(i)], Dead(i) ? runs : 0) << Name(i) << (display ? " (Disp)" : "");
    }
  }
  std::multiset<std::string> retried, dead;
  for (const std::string& line : Lines(pd.Read("temp/" + retryFile))) {
    retried.insert(line.substr(line.rfind(',') + 1));
  }
  for (int i = 0; i < kAccounts; ++i) {
    if (Dead(i)) dead.insert(common::HexKey(Name(i)));
  }
  EXPECT_EQ(retried, dead);
  const std::string state = pd.Read(stateFile);
  ASSERT_GE(state.size(), downOffset + 4);
  EXPECT_EQ(state.substr(0, 4), std::string(4, '\0')) << "busy word cleared at the end";
  EXPECT_EQ(state[downOffset], runs > 1 ? 1 : 0) << "down word";

  // Dead accounts raise their Down message at the second run, once; nobody else raises one.
  const size_t expected = runs > 1 ? kAccounts / 10 : 0;
  pd.WaitForCalls("LanBellCmd", expected);
  ::usleep(300 * 1000);
  std::map<int, int> downFor;
  for (const ProgramDir::Call& call : pd.Calls("LanBellCmd")) {
    const size_t at = call.file.find("down acct");
    ASSERT_NE(at, std::string::npos) << call.file;
    ++downFor[std::atoi(call.file.c_str() + at + 9)];
  }
  EXPECT_EQ(downFor.size(), expected);
  for (const auto& [i, count] : downFor) {
    EXPECT_TRUE(Dead(i)) << Name(i);
    EXPECT_EQ(count, 1) << Name(i);
  }
}

TEST(ParallelRun, TwoHundredPortAccountsTwentyDead) {
  ProgramDir pd;
  testkit::SetLogging(pd, common::kGroupHttp, true, true);
  testkit::LineServer web("HTTP/1.1 200 OK\r\n", true);
  ASSERT_TRUE(web.ok());
  const int closed = testkit::ClosedPort();
  for (int i = 0; i < kAccounts; ++i) {
    common::AccountFile a = LanAccount(Name(i), "127.0.0.1");
    a.record.httpPortOn = 1;
    a.record.httpTimeout = 2;
    a.record.httpPort = static_cast<uint32_t>(Dead(i) ? closed : web.port());
    testkit::AddAccount(pd, a, StatusFolder::kHttpPort);
  }
  for (int run = 1; run <= 2; ++run) {
    SCOPED_TRACE(run);
    ASSERT_EQ(pd.RunAgent("WebPortSentry"), 0);
    ExpectRunOutcome(pd, StatusFolder::kHttpPort, "portHTTPPara.dat", 16, "httpportscan.err", run,
                     "HTTP Port 80 OK Domain/IP: 127.0.0.1",
                     "HTTP Port 80 DOWN Error: CONNECT Domain/IP: 127.0.0.1");
  }
  // Each dead port was asked twice per run, each living one once.
  EXPECT_EQ(web.accepted(), 2 * (kAccounts - kAccounts / 10));
}

// The same with pings in a network of the test's own: the dead hosts sit behind a tun
// device that nobody reads, so their echoes vanish and each costs its whole budget.
TEST(ParallelRun, TwoHundredPingAccountsTwentyDeadInANamespace) {
  ProgramDir pd;
  testkit::SetLogging(pd, common::kGroupPing, true, true);
  for (int i = 0; i < kAccounts; ++i) {
    const std::string host =
        Dead(i) ? "10.200.0." + std::to_string(100 + i / 10) : "127.0.0." + std::to_string(1 + i);
    common::AccountFile a = LanAccount(Name(i), host);
    a.record.pingOn = 1;
    a.record.pingTimeout = 1;
    testkit::AddAccount(pd, a, StatusFolder::kPing);
  }
  pd.AddProgram("EchoSentry");
  hostchecktest::LabOptions options;
  options.tun = true;
  for (int run = 1; run <= 2; ++run) {
    SCOPED_TRACE(run);
    hostchecktest::LabRun lab = hostchecktest::RunInNetLab(
        options, [&](auto&) { return std::to_string(pd.RunAgent("EchoSentry")); });
    if (!lab.skipReason.empty()) GTEST_SKIP() << lab.skipReason;
    ASSERT_EQ(lab.output, "0");
    const std::string first = Lines(pd.TodayLog()).empty() ? "" : Lines(pd.TodayLog())[0];
    if (first.find("OPEN_SOCKET") != std::string::npos) GTEST_SKIP() << "no ICMP socket here";
    ExpectRunOutcome(pd, StatusFolder::kPing, "pingPara.dat", 4, "pingscan.err", run,
                     "Ping OK time=", "Ping DOWN TIMEOUT Domain/IP: 10.200.0.");
  }
}

// Two agents of different groups run again and again on one program directory while the
// console flips enable boxes of their accounts and a reader reads the records: every flip
// is still there at the end, and no read ever comes up short or half-written.
TEST(ParallelRun, AgentsOfTwoGroupsAndConsoleTogglesLoseNothing) {
  ProgramDir pd;
  testkit::LineServer web("HTTP/1.1 200 OK\r\n", true);
  ASSERT_TRUE(web.ok());
  constexpr int kEach = 60;
  struct Box {
    StatusFolder folder;
    std::string name;
  };
  std::vector<Box> boxes;
  for (int i = 0; i < kEach; ++i) {
    common::AccountFile a = testkit::ServerAccount(Name(i), "127.0.0.1");
    a.record.httpPortOn = 1;
    a.record.httpTimeout = 2;
    a.record.httpPort = static_cast<uint32_t>(i % 7 == 0 ? testkit::ClosedPort() : web.port());
    a.record.pingOn = 1;
    a.record.pingTimeout = 1;
    testkit::AddAccount(pd, a, StatusFolder::kHttpPort);
    testkit::AddAccount(pd, a, StatusFolder::kPing);
    boxes.push_back({StatusFolder::kHttpPort, Name(i)});
    boxes.push_back({StatusFolder::kPing, Name(i)});
  }
  std::atomic<int> running{2};
  auto agent = [&](const char* name) {
    for (int run = 0; run < 4; ++run) pd.RunAgent(name);
    --running;
  };
  std::thread echo(agent, "EchoSentry"), webPort(agent, "WebPortSentry");

  std::atomic<bool> stop{false};
  std::atomic<long> reads{0}, bad{0};
  std::thread reader([&] {
    while (!stop) {
      for (const Box& box : boxes) {
        common::CheckStatus s{};
        const std::string path = common::StatusPath(pd.dir(), box.folder, common::HexKey(box.name));
        if (!common::ReadStatusRecord(path, &s, sizeof s)) {
          ++bad;  // a record is never missing or short
          continue;
        }
        ++reads;
        const size_t stamp = std::strlen(s.lastCheck);
        if (s.enabled > 1 || (stamp != 0 && stamp != 14) || s.failCount < 0) ++bad;
      }
    }
  });

  std::vector<int> flips(boxes.size(), 0);
  std::mt19937 random(12345);
  while (running > 0) {
    const size_t b = random() % boxes.size();
    ASSERT_TRUE(common::UpdateCheckStatus(pd.dir(), boxes[b].folder, common::HexKey(boxes[b].name),
                                          [](common::CheckStatus& s, bool exists) {
                                            if (!exists) return false;
                                            s.enabled = s.enabled != 1 ? 1 : 0;
                                            return true;
                                          }));
    ++flips[b];
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  echo.join();
  webPort.join();
  stop = true;
  reader.join();

  EXPECT_GT(reads.load(), 1000);
  EXPECT_EQ(bad.load(), 0);
  int flipped = 0;
  for (size_t b = 0; b < boxes.size(); ++b) {
    SCOPED_TRACE(boxes[b].name);
    common::CheckStatus s = testkit::ReadStatus(pd, boxes[b].folder, boxes[b].name);
    EXPECT_EQ(s.enabled, flips[b] % 2 == 0 ? 1u : 0u) << "a toggle was lost";
    EXPECT_EQ(s.checking, 0);
    flipped += flips[b];
  }
  EXPECT_GT(flipped, 100);
}

}  // namespace
