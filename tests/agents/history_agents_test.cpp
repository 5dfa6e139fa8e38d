// The history fed by real agent runs: a port that answers on 127.0.0.1 and one that is
// closed, then open again. The store's points, the outage with its start, end and error
// text, and the availability of the span, as the page's routes give them.
#include <gtest/gtest.h>

#include <map>

#include "common/account_key.h"
#include "common/file_ops.h"
#include "common/record_texts.h"
#include "console/history_feed.h"
#include "console/history_routes.h"
#include "testkit.h"

namespace {

using nlohmann::json;
using namespace console::history;

console::RouteRequest Get(std::map<std::string, std::string> query) {
  return {"GET", "/",
          [query](const char* name) -> std::optional<std::string> {
            auto it = query.find(name);
            if (it == query.end()) return std::nullopt;
            return it->second;
          },
          ""};
}

TEST(HistoryFromAgents, ALivingAndADeadPortGivePointsAnOutageAndAvailability) {
  testkit::ProgramDir pd;
  testkit::LineServer web("HTTP/1.0 200 OK\r\n\r\n", true);
  ASSERT_TRUE(web.ok());
  testkit::SetLogging(pd, common::kGroupHttp, true, true);
  common::AccountFile live = testkit::ServerAccount("live", "127.0.0.1");
  common::AccountFile dead = testkit::ServerAccount("dead", "127.0.0.1");
  for (common::AccountFile* a : {&live, &dead}) {
    a->record.httpPortOn = 1;
    a->record.httpTimeout = 2;
  }
  live.record.httpPort = static_cast<uint32_t>(web.port());
  dead.record.httpPort = static_cast<uint32_t>(testkit::ClosedPort());
  testkit::AddAccount(pd, live, common::StatusFolder::kHttpPort);
  testkit::AddAccount(pd, dead, common::StatusFolder::kHttpPort);

  const int64_t before = NowMinute();
  ASSERT_EQ(pd.RunAgent("WebPortSentry"), 0);
  ASSERT_EQ(pd.RunAgent("WebPortSentry"), 0);
  dead.record.httpPort = static_cast<uint32_t>(web.port());
  common::WriteAccount(common::AccountPath(pd.dir(), common::FieldText(dead.record.key)), dead);
  ASSERT_EQ(pd.RunAgent("WebPortSentry"), 0);
  const int64_t after = NowMinute();

  // The console's worker reads the logs the runs left.
  {
    HistoryWorker worker(pd.dir(), 60000);
    worker.Start();
    worker.Nudge();
  }
  const console::PostTask none = [](console::ConsoleTask) { return false; };
  const std::string dir = pd.dir();
  const console::RouteContext context{dir, none};
  const std::string from = FormatMinute(before - 5), to = FormatMinute(after + 5);
  struct Case {
    std::string name;
    int64_t n, fail;
    double availability;
  } cases[] = {{"live", 3, 0, 100.0}, {"dead", 3, 2, 33.333}};
  for (const Case& c : cases) {
    auto request =
        Get({{"key", common::HexKey(c.name)}, {"check", "HTTP"}, {"from", from}, {"to", to}});
    json body = json::parse(HistoryRoute(context, request).body);
    int64_t n = 0, fail = 0;
    for (const json& p : body["points"]) {
      n += p["n"].get<int64_t>();
      fail += p["fail"].get<int64_t>();
    }
    EXPECT_EQ(n, c.n) << c.name << body.dump();
    EXPECT_EQ(fail, c.fail) << c.name;
    EXPECT_EQ(body["availability"], c.availability) << c.name;
  }
  auto request = Get({{"key", common::HexKey("dead")}, {"from", from}, {"to", to}});
  json outages = json::parse(OutagesRoute(context, request).body)["outages"];
  ASSERT_EQ(outages.size(), 1u) << outages.dump();
  const json& o = outages[0];
  EXPECT_EQ(o["check"], "HTTP");
  ASSERT_TRUE(o["end"].is_string()) << o.dump();
  const int64_t start = *ParseMinute(o["start"].get<std::string>());
  const int64_t end = *ParseMinute(o["end"].get<std::string>());
  EXPECT_GE(start, before);
  EXPECT_LE(end, after);
  EXPECT_LE(start, end);
  EXPECT_EQ(o["minutes"], end - start);
  EXPECT_NE(o["error"].get<std::string>().find("Domain/IP: 127.0.0.1"), std::string::npos)
      << o.dump();
  auto liveRequest = Get({{"key", common::HexKey("live")}, {"from", from}, {"to", to}});
  EXPECT_TRUE(json::parse(OutagesRoute(context, liveRequest).body)["outages"].empty());
}

}  // namespace
