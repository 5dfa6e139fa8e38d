#include "console/routes.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

#include "common/account_key.h"
#include "common/status_update.h"
#include "console/account_editing.h"
#include "console/api.h"
#include "console/console_app.h"
#include "console/main_loop.h"
#include "platform/files.h"
#include "platform/lock.h"
#include "support/temp_dir.h"

namespace console {
namespace {

using nlohmann::json;
using testsupport::TempDir;

bool NoAgent(const std::string&, const std::vector<std::string>&) {
  return true;
}

// A request with query fields.
RouteRequest Request(std::string method, std::string path,
                     std::map<std::string, std::string> query = {}, std::string body = "") {
  return {std::move(method), std::move(path),
          [query](const char* name) -> std::optional<std::string> {
            auto it = query.find(name);
            if (it == query.end()) return std::nullopt;
            return it->second;
          },
          std::move(body)};
}

TEST(Routes, EveryRouteNeedsTheTokenAndThePagesFilesDoNot) {
  std::set<std::string> seen;
  for (const Route& route : Routes()) {
    EXPECT_TRUE(NeedsToken(route.path)) << route.path;
    EXPECT_TRUE(seen.insert(std::string(route.method) + " " + route.path).second) << route.path;
  }
  for (const char* path : {"/api/", "/api/nothing", "/api/state?x"}) EXPECT_TRUE(NeedsToken(path));
  for (const char* path : {"/", "/index.html", "/js/api.js", "/apix", "/API/state", "api/state"}) {
    EXPECT_FALSE(NeedsToken(path)) << path;
  }
  std::set<std::string> actions;
  for (const Action& action : Actions()) {
    EXPECT_TRUE(actions.insert(action.name).second) << action.name;
  }
  EXPECT_EQ(actions.size(), 27u);
}

// Requests that no route takes, and routes whose loop is busy, answer as they always did.
TEST(Routes, UnknownRoutesAndABusyLoopAnswerAsBefore) {
  TempDir dir;
  int posted = 0;
  const PostTask busy = [&posted](ConsoleTask) {
    ++posted;
    return false;
  };
  const std::string programDir = dir.path();
  const RouteContext context{programDir, busy};
  struct Case {
    RouteRequest request;
    unsigned status;
    std::string body;
    int posts;
  };
  const std::string busyBody = R"({"message":"console busy","ok":false})";
  Case cases[] = {
      {Request("GET", "/api/nothing"), kHttpNotFound, "Not found\n", 0},
      {Request("POST", "/api/state"), kHttpNotFound, "Not found\n", 0},
      {Request("GET", "/api/act"), kHttpNotFound, "Not found\n", 0},
      {Request("HEAD", "/api/upload"), kHttpNotFound, "Not found\n", 0},
      {Request("POST", "/index.html"), kHttpNotFound, "Not found\n", 0},
      {Request("GET", "/no-such-file.js"), kHttpNotFound, "Not found\n", 0},
      {Request("POST", "/api/act", {}, "{"), kHttpBadRequest,
       R"({"error":"bad request","ok":false})", 0},
      {Request("POST", "/api/act", {}, R"({"action":1})"), kHttpBadRequest,
       R"({"error":"bad request","ok":false})", 0},
      {Request("GET", "/api/wave", {{"name", "../x.wav"}}), kHttpNotFound, "Not found\n", 0},
      {Request("GET", "/api/wave", {{"name", "missing.wav"}}), kHttpNotFound, "Not found\n", 0},
      {Request("GET", "/api/state"), kHttpUnavailable, busyBody, 1},
      {Request("HEAD", "/api/rows", {{"first", "x"}}), kHttpUnavailable, busyBody, 1},
      {Request("GET", "/api/pane"), kHttpUnavailable, busyBody, 1},
      {Request("GET", "/api/wave"), kHttpUnavailable, busyBody, 1},
      {Request("POST", "/api/act", {}, R"({"action":"nothing"})"), kHttpUnavailable, busyBody, 1},
      {Request("POST", "/api/upload", {{"kind", "wave"}}), kHttpUnavailable, busyBody, 1},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.request.method + " " + c.request.path);
    posted = 0;
    const Reply reply = AnswerRequest(context, c.request);
    EXPECT_EQ(reply.status, c.status);
    EXPECT_EQ(reply.body, c.body);
    EXPECT_EQ(posted, c.posts);
    // Only the busy answers name themselves by a key.
    EXPECT_EQ(reply.messageKey, c.status == kHttpUnavailable ? kConsoleBusyKey : "");
    if (reply.status != kHttpNotFound) {
      EXPECT_EQ(reply.cacheControl, "no-store");
    }
  }
  // The page itself, and an uploaded sound, which is read without the loop.
  posted = 0;
  RouteRequest index = Request("GET", "/");
  const Reply page = AnswerRequest(context, index);
  EXPECT_EQ(page.status, kHttpOk);
  EXPECT_EQ(page.cacheControl, "no-cache");
  EXPECT_NE(page.body.find("<html"), std::string::npos);
  testsupport::WriteFile(dir / "Wave/a.wav", "RIFF");
  RouteRequest wave = Request("GET", "/api/wave", {{"name", "a.wav"}});
  const Reply sound = AnswerRequest(context, wave);
  EXPECT_EQ(sound.type, "audio/wav");
  EXPECT_EQ(sound.body, "RIFF");
  EXPECT_EQ(posted, 0);
}

// A post that runs the task at once, as the main loop does when it is free.
struct InlineLoop {
  TempDir dir;
  ConsoleApp app{dir.path(), "/none", NoAgent};
  MainLoop loop;
  PostTask post = [this](ConsoleTask task) {
    task(app, loop);
    return true;
  };
  std::string programDir = dir.path();
  RouteContext context{programDir, post};
  InlineLoop() { app.StartUp(); }

  Reply ActWith(const std::string& body) {
    RouteRequest r = Request("POST", "/api/act", {}, body);
    return AnswerRequest(context, r);
  }
};

TEST(Routes, ActionsRunOnTheLoopAndExitEndsIt) {
  InlineLoop l;
  EXPECT_EQ(l.ActWith(R"({"action":"nothing"})").body, R"({"ok":false})");
  EXPECT_EQ(l.ActWith(R"({"action":"first-prompt"})").body, R"({"ok":true,"show":true})");
  EXPECT_EQ(json::parse(l.ActWith(R"({"action":"page-facts"})").body), PageFactsJson());
  EXPECT_EQ(l.ActWith(R"({"action":"command","id":99999})").body, R"({"ok":false})");
  EXPECT_TRUE(l.loop.Post([] {}));
  EXPECT_EQ(l.ActWith(R"({"action":"command","id":1017})").body, R"({"ok":true})");
  EXPECT_FALSE(l.loop.Post([] {})) << "Exit ends the main loop";
}

// Commands that need a mail server are refused without one; the others run.
TEST(Routes, CommandsNeedingMailAreRefusedWithoutIt) {
  InlineLoop l;
  ASSERT_FALSE(l.app.mailConfigured());
  bool quit = false;
  for (int id : {kCmdRunScanNow, kCmdEnableAll, kCmdDisableAll}) {
    EXPECT_FALSE(l.app.RunCommand(id, &quit)) << id;
  }
  const uint64_t version = l.app.listVersion();
  EXPECT_TRUE(l.app.RunCommand(kCmdRefreshList, &quit));
  EXPECT_GT(l.app.listVersion(), version);
  EXPECT_FALSE(quit);
}

// A lock held by another process past the bound makes any action the busy refusal, with the
// text the page knows, in either language.
TEST(Routes, ALockTimeOutIsTheBusyRefusal) {
  InlineLoop l;
  bool quit = false;
  ASSERT_EQ(
      Act(l.app, "account-save",
          {{"form", {{"type", 0}, {"name", "kept"}, {"domain", "127.0.0.1"}, {"ping", true}}}},
          &quit)["ok"],
      true);
  const std::string key = common::HexKey("kept");
  platform::FileLock holder;
  ASSERT_TRUE(holder.Acquire(AccountStoreLockPath(l.dir.path())));
  common::SetStatusLockWait(200);
  for (const char* language : {"0", "1"}) {
    SCOPED_TRACE(language);
    EXPECT_TRUE(l.app.SetLanguage(language));
    const std::string body = json{{"action", "account-delete"}, {"key", key}}.dump();
    const Reply refused = l.ActWith(body);
    EXPECT_EQ(refused.body, R"({"message":"the status files are busy; try again","ok":false})");
    EXPECT_EQ(refused.messageKey, "msgFilesBusy");
  }
  common::SetStatusLockWait(-1);
  holder.Release();
  const Reply done = l.ActWith(json{{"action", "account-delete"}, {"key", key}}.dump());
  EXPECT_EQ(json::parse(done.body)["ok"], true);
  EXPECT_EQ(done.messageKey, "");
}

// Each console counts its own groups (the count is kept per console, not per process).
TEST(Routes, GroupCountsBelongToTheirConsole) {
  InlineLoop full, empty;
  bool quit = false;
  ASSERT_EQ(Act(full.app, "account-save",
                {{"form", {{"type", 0}, {"name", "a"}, {"domain", "127.0.0.1"}, {"ping", true}}}},
                &quit)["ok"],
            true);
  for (int round = 0; round < 2; ++round) {
    EXPECT_FALSE(StateJson(full.app)["groups"]["PING"]["empty"].get<bool>());
    EXPECT_TRUE(StateJson(empty.app)["groups"]["PING"]["empty"].get<bool>());
  }
}

}  // namespace
}  // namespace console
