#include "console/commands.h"

#include <gtest/gtest.h>

#include <set>

#include "console/api.h"
#include "console/console_app.h"
#include "console/ui_text.h"
#include "support/temp_dir.h"

namespace console {
namespace {

using nlohmann::json;

struct Started {
  testsupport::TempDir dir;
  std::vector<std::string> launched;
  ConsoleApp app{dir.path(), "/none",
                 [this](const std::string& program, const std::vector<std::string>&) {
                   launched.push_back(program);
                   return true;
                 }};
  Started() { app.StartUp(); }
};

// What the page draws its menus, toolbar and check boxes from: one row per command with a
// caption in both message tables, and one check box per scan group that switches exactly
// that group, named as the state answer names it.
TEST(PageFacts, GroupBoxesSwitchTheGroupTheyAreShownFor) {
  Started s;
  const json facts = PageFactsJson();
  std::vector<std::string> shown;
  for (const json& g : facts["groups"]) {
    const std::string name = g["name"];
    const int index = g["index"];
    shown.push_back(name);
    SCOPED_TRACE(name);
    const common::ScanSchedule before = s.app.scheduler().schedule();
    ASSERT_TRUE(s.app.RunCommand(g["command"], nullptr));
    const common::ScanSchedule& after = s.app.scheduler().schedule();
    for (int k = 0; k < common::kGroupCount; ++k) {
      EXPECT_EQ(after.groupOn[k] != 0, k == index ? before.groupOn[k] == 0 : before.groupOn[k] != 0)
          << "group " << k;
    }
    EXPECT_TRUE(StateJson(s.app)["groups"].contains(name));
  }
  EXPECT_EQ(shown, (std::vector<std::string>{"PING", "PORT", "HTTP", "FTP", "EMAIL"}));
}

TEST(PageFacts, EveryCommandHasOneNumberOneNameAndACaption) {
  std::set<int> ids;
  std::set<std::string> names;
  const json facts = PageFactsJson();
  for (const json& c : facts["commands"]) {
    const std::string key = c["key"];
    EXPECT_TRUE(ids.insert(c["id"].get<int>()).second) << c["id"];
    EXPECT_TRUE(names.insert(c["name"].get<std::string>()).second) << c["name"];
    for (const char* language : {"0", "1"}) {
      EXPECT_NE(MessageText(language, key), key) << key << " missing in table " << language;
    }
  }
}

// The console refuses what the page draws disabled: nothing starts before a mail server
// is set up.
TEST(PageFacts, CommandsWaitingForAMailServerAreRefusedWithoutOne) {
  Started s;
  ASSERT_FALSE(s.app.mailConfigured());
  int waiting = 0;
  const json facts = PageFactsJson();
  for (const json& c : facts["commands"]) {
    if (!c["needsMailServer"].get<bool>()) continue;
    ++waiting;
    bool quit = false;
    EXPECT_FALSE(s.app.RunCommand(c["id"], &quit)) << c["name"];
    EXPECT_FALSE(quit);
  }
  EXPECT_GE(waiting, 3);
  EXPECT_TRUE(s.launched.empty());
}

}  // namespace
}  // namespace console
