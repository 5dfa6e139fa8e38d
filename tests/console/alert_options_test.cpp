// The console's side of held and grouped alerts: a parent named in the dialogs, --setup and
// the import is checked against the stored accounts; Setup's grouping and flapping fields.
#include <gtest/gtest.h>

#include "common/account_key.h"
#include "common/account_options.h"
#include "common/alert_grouping.h"
#include "common/layout.h"
#include "common/maintenance.h"
#include "console/account_editing.h"
#include "console/account_transfer.h"
#include "console/maintenance_command.h"
#include "console/maintenance_dialog.h"
#include "console/setup_command.h"
#include "console/setup_form.h"
#include "console/ui_text.h"
#include "platform/files.h"
#include "platform/ini.h"
#include "support/temp_dir.h"

using namespace console;
using nlohmann::json;

namespace {

json Server(const std::string& name, const std::string& parent) {
  json form = {{"type", 0}, {"name", name}, {"domain", "127.0.0.1"}, {"ping", true}};
  if (!parent.empty()) form["parent"] = parent;
  return form;
}

std::string ParentOf(const std::string& dir, const std::string& name) {
  return common::ReadAccountOptions(dir, common::HexKey(name), common::kServer).options.parent;
}

}  // namespace

TEST(AccountParent, UnknownParentsAndCyclesAreRefusedEveryWayIn) {
  testsupport::TempDir dir;
  const std::string d = dir.path();
  platform::MakeDirs(dir / "ListView");
  ASSERT_TRUE(SaveAccount(d, Server("router", ""), {}, "").written);
  ASSERT_TRUE(SaveAccount(d, Server("switch", "router"), {}, "").written);
  EXPECT_EQ(ParentOf(d, "switch"), "router");

  const struct {
    json form;
    std::string originalKey, key;
  } cases[] = {
      {Server("web", "nobody"), "", "msgParentUnknown"},
      {Server("web", "web"), "", "msgParentCycle"},
      // router behind switch, which is behind router.
      {Server("router", "switch"), common::HexKey("router"), "msgParentCycle"},
      {Server("web", "switch"), "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.form.dump());
    SaveOutcome out = SaveAccount(d, c.form, {}, c.originalKey);
    EXPECT_EQ(out.error.key, c.key);
    if (c.key.empty()) continue;
    EXPECT_NE(MessageText("1", c.key), MessageText("0", c.key));
  }
  EXPECT_EQ(ParentOf(d, "router"), "");
  EXPECT_EQ(ParentOf(d, "web"), "switch");

  // --setup says the dialog's message and stores nothing.
  const std::string refused = ApplySetup(
      d, {{"accounts",
           json::array(
               {{{"name", "db"}, {"host", "127.0.0.1"}, {"ping", true}, {"parent", "nobody"}}})}});
  EXPECT_NE(refused.find(MessageText("0", "msgParentUnknown")), std::string::npos) << refused;
  EXPECT_FALSE(platform::PathExists(common::AccountPath(d, common::HexKey("db"))));

  // An import line may name a parent that a later line adds, never one behind itself.
  const std::string line =
      ",127.0.0.1,,,1,0,0,0,0,0,0,,,,0,0,0,0,,0,,,,,0,,0,,0,,0,,0,,0,,,,,,,1,1,0,,1,1,0,,1,0,,,,,,"
      ",,";
  platform::SystemTime now{};
  now.year = 2026, now.month = 1, now.day = 2;
  EXPECT_EQ(ImportCsvLine(d, "later" + line + "not-yet-here", now), "");
  EXPECT_EQ(ParentOf(d, "later"), "not-yet-here");
  EXPECT_EQ(ImportCsvLine(d, "router" + line + "web", now), "Parent account is behind this one:");
  EXPECT_EQ(ParentOf(d, "router"), "");
}

TEST(SetupAlertGrouping, SwitchesAndNumbersAreCheckedAndStoredOnlyWhenOn) {
  const json valid = {{"primaryServer", "mail.example.org"},
                      {"from", "varnock@example.org"},
                      {"to", "ops@example.org"}};
  const struct {
    json change;
    const char* key;
    std::string stored;  // ALERTGROUPCOUNT, ALERTGROUPSECONDS, FLAPCHANGES, FLAPMINUTES
  } cases[] = {
      {json::object(), "", "0 60 0 30"},
      {{{"groupAlerts", false}, {"groupCount", "x"}}, "", "0 60 0 30"},
      {{{"groupAlerts", true}, {"groupCount", "5"}, {"groupSeconds", "60"}}, "", "5 60 0 30"},
      {{{"groupAlerts", true}, {"groupCount", 7}, {"groupSeconds", 90}}, "", "7 90 0 30"},
      {{{"groupAlerts", true}, {"groupCount", "0"}, {"groupSeconds", "60"}},
       "msgGroupAlertsRange",
       ""},
      {{{"groupAlerts", true}, {"groupCount", "5"}, {"groupSeconds", "3601"}},
       "msgGroupAlertsRange",
       ""},
      {{{"groupAlerts", true}, {"groupCount", "-5"}, {"groupSeconds", "60"}},
       "msgGroupAlertsRange",
       ""},
      {{{"groupAlerts", true}, {"groupCount", "5"}}, "msgGroupAlertsRange", ""},
      {{{"groupAlerts", "yes"}}, "msgGroupAlertsRange", ""},
      {{{"flapWatch", true}, {"flapChanges", "4"}, {"flapMinutes", "30"}}, "", "0 60 4 30"},
      {{{"flapWatch", true}, {"flapChanges", "4"}, {"flapMinutes", "1441"}}, "msgFlapRange", ""},
      {{{"flapWatch", true}, {"flapChanges", "1001"}, {"flapMinutes", "30"}}, "msgFlapRange", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.change.dump());
    testsupport::TempDir dir;
    SettingCopies copies = ReadSettingCopies(dir.path());
    json form = valid;
    form.update(c.change);
    EXPECT_EQ(SaveSetup(dir.path(), form, &copies).key, c.key);
    if (*c.key != '\0') {
      EXPECT_FALSE(platform::PathExists(common::IniPath(dir.path())));
      EXPECT_NE(MessageText("1", c.key), MessageText("0", c.key));
      continue;
    }
    const common::AlertGrouping g = common::ReadAlertGrouping(dir.path());
    EXPECT_EQ(std::to_string(g.groupCount) + " " + std::to_string(g.groupSeconds) + " " +
                  std::to_string(g.flapChanges) + " " + std::to_string(g.flapMinutes),
              c.stored);
    // Off adds no key to Varnock.ini; the dialog shows what was stored.
    const std::string ini = common::IniPath(dir.path());
    EXPECT_EQ(platform::IniGetString(ini, "PROGRAM", "ALERTGROUPCOUNT", "-"),
              g.groupCount ? std::to_string(g.groupCount) : "-");
    const json shown = SetupJson(dir.path(), copies);
    EXPECT_EQ(shown["groupAlerts"], g.groupCount > 0);
    EXPECT_EQ(shown["flapWatch"], g.flapChanges > 0);
    if (g.groupCount) {
      EXPECT_EQ(shown["groupCount"], std::to_string(g.groupCount));
    }
  }
}

TEST(Maintenance, WindowsAreReadStrictlyAndMatchedByLocalTime) {
  const struct {
    const char* line;
    bool ok;
  } lines[] = {
      {"once * 202612101500 202612101600", true},
      {"weekly 616263 0 2300 0100", true},
      {"once * 202612101600 202612101500", false},  // ends before it starts
      {"once * 202602301500 202603011600", false},  // no 30 February
      {"weekly * 7 0100 0200", false},
      {"weekly * 1 2460 0100", false},
      {"weekly * 1 0100 0100", false},
      {"once ../x 202612101500 202612101600", false},
      {"once ABC 202612101500 202612101600", false},  // keys are lower-case hex
      {"daily * 0100 0200", false},
      {"once * 202612101500 202612101600 extra", false},
  };
  for (const auto& c : lines)
    EXPECT_EQ(common::ParseMaintenanceLine(c.line).has_value(), c.ok) << c.line;

  std::vector<common::MaintenanceWindow> windows;
  for (const char* line : {"once 616263 202612101500 202612101600", "weekly * 0 2300 0100"})
    windows.push_back(*common::ParseMaintenanceLine(line));
  auto at = [](int year, int month, int day, int dayOfWeek, int hour, int minute) {
    platform::SystemTime t{};
    t.year = static_cast<uint16_t>(year), t.month = static_cast<uint16_t>(month);
    t.day = static_cast<uint16_t>(day), t.dayOfWeek = static_cast<uint16_t>(dayOfWeek);
    t.hour = static_cast<uint16_t>(hour), t.minute = static_cast<uint16_t>(minute);
    return t;
  };
  const struct {
    std::string key;
    platform::SystemTime when;
    bool in;
  } checks[] = {
      {"616263", at(2026, 12, 10, 4, 15, 0), true},
      {"616263", at(2026, 12, 10, 4, 16, 0), false},  // the end is not part of it
      {"646566", at(2026, 12, 10, 4, 15, 30), false},
      {"646566", at(2026, 12, 13, 0, 23, 30), true},  // Sunday night
      {"646566", at(2026, 12, 14, 1, 0, 59), true},   // past midnight into Monday
      {"646566", at(2026, 12, 14, 1, 1, 0), false},
      {"646566", at(2026, 12, 12, 6, 23, 30), false},
  };
  for (const auto& c : checks) {
    EXPECT_EQ(common::InMaintenance(windows, c.key, c.when), c.in)
        << c.key << " " << c.when.day << " " << c.when.hour << ":" << c.when.minute;
  }
}

TEST(Maintenance, TheCommandAddsListsAndClearsWindowsOfKnownAccounts) {
  testsupport::TempDir dir;
  const std::string d = dir.path();
  platform::MakeDirs(dir / "ListView");
  ASSERT_TRUE(SaveAccount(d, Server("db 1", ""), {}, "").written);
  const struct {
    std::vector<std::string> args;
    int code;
  } steps[] = {
      {{"once", "db 1", "202612101500", "202612101600"}, 0},
      {{"weekly", "*", "6", "2200", "0200"}, 0},
      {{"once", "nobody", "202612101500", "202612101600"}, 1},
      {{"once", "db 1", "202612101600", "202612101500"}, 1},
      {{"once", "db 1", "202612101500"}, 2},
      {{"sometimes"}, 2},
  };
  for (const auto& s : steps) {
    std::string out, err;
    EXPECT_EQ(MaintenanceCommand(d, s.args, &out, &err), s.code) << s.args[0] << err;
    EXPECT_EQ(err.empty(), s.code != 1) << err;
  }
  std::string out, err;
  ASSERT_EQ(MaintenanceCommand(d, {"list"}, &out, &err), 0);
  EXPECT_EQ(out, "once " + common::HexKey("db 1") +
                     " 202612101500 202612101600  (db 1)\nweekly * 6 2200 0200  (*)\n");
  ASSERT_EQ(MaintenanceCommand(d, {"clear"}, &out, &err), 0);
  EXPECT_FALSE(platform::PathExists(common::MaintenancePath(d)));
}

// The page's Maintenance dialog: what it refuses (with the message of its language), what it
// stores (the same lines as the command), and how a window is removed again.
TEST(Maintenance, TheDialogAddsAndRemovesWindowsAndSaysWhatItRefuses) {
  testsupport::TempDir dir;
  const std::string d = dir.path();
  platform::MakeDirs(dir / "ListView");
  ASSERT_TRUE(SaveAccount(d, Server("db 1", ""), {}, "").written);
  const std::string key = common::HexKey("db 1");
  const struct {
    json body;
    const char* refusal;  // nullptr: stored
  } cases[] = {
      {{{"account", "db 1"},
        {"kind", "once"},
        {"from", "2026-12-10T15:00"},
        {"to", "2026-12-10T16:30"}},
       nullptr},
      {{{"all", true}, {"kind", "weekly"}, {"day", 6}, {"from", "22:00"}, {"to", "02:00"}},
       nullptr},
      {{{"all", true}, {"kind", "weekly"}, {"day", 0}, {"from", "00:00"}, {"to", "23:59"}},
       nullptr},
      {{{"all", true}, {"kind", "weekly"}, {"day", 0}, {"from", "03:00"}, {"to", "03:00"}},
       "msgMaintSameTime"},
      {{{"account", "nobody"},
        {"kind", "once"},
        {"from", "2026-12-10T15:00"},
        {"to", "2026-12-10T16:00"}},
       "msgMaintNoAccount"},
      {{{"account", ""}, {"kind", "weekly"}, {"day", 1}, {"from", "01:00"}, {"to", "02:00"}},
       "msgMaintNoAccount"},
      {{{"account", "db 1"},
        {"kind", "once"},
        {"from", "2026-12-10T16:00"},
        {"to", "2026-12-10T16:00"}},
       "msgMaintEndFirst"},
      {{{"account", "db 1"},
        {"kind", "once"},
        {"from", "2026-04-31T10:00"},
        {"to", "2026-05-01T10:00"}},
       "msgMaintBadTime"},
      {{{"account", "db 1"}, {"kind", "once"}, {"from", ""}, {"to", "2026-05-01T10:00"}},
       "msgMaintBadTime"},
      {{{"all", true}, {"kind", "weekly"}, {"day", 7}, {"from", "01:00"}, {"to", "02:00"}},
       "msgMaintBadTime"},
      {{{"all", true}, {"kind", "weekly"}, {"day", 1}, {"from", "24:00"}, {"to", "02:00"}},
       "msgMaintBadTime"},
      {{{"all", true}, {"kind", "weekly"}, {"day", "1"}, {"from", "01:00"}, {"to", "02:00"}},
       "msgMaintBadTime"},
      {{{"all", true}, {"kind", "monthly"}}, "msgMaintBadTime"},
  };
  for (const auto& c : cases) {
    json answer = AddMaintenanceWindow(d, "0", c.body);
    if (!c.refusal) {
      EXPECT_TRUE(answer["ok"]) << c.body.dump() << answer.dump();
      continue;
    }
    EXPECT_FALSE(answer["ok"]) << c.body.dump();
    EXPECT_EQ(answer["key"], c.refusal) << c.body.dump();
    EXPECT_EQ(answer["message"], MessageText("0", c.refusal)) << c.body.dump();
  }
  EXPECT_EQ(AddMaintenanceWindow(d, "1", {{"account", "nobody"}, {"kind", "once"}})["message"],
            MessageText("1", "msgMaintNoAccount"));
  EXPECT_NE(MessageText("1", "msgMaintNoAccount"), MessageText("0", "msgMaintNoAccount"));

  EXPECT_EQ(
      *platform::ReadWholeFile(common::MaintenancePath(d), 1 << 16),
      "once " + key + " 202612101500 202612101630\nweekly * 6 2200 0200\nweekly * 0 0000 2359\n");
  json list = MaintenanceWindows(d, "0");
  ASSERT_EQ(list["windows"].size(), 3u);
  EXPECT_EQ(list["windows"][0]["account"], "db 1");
  EXPECT_EQ(list["windows"][0]["from"], "2026-12-10T15:00");
  EXPECT_EQ(list["windows"][1]["all"], true);
  EXPECT_EQ(list["windows"][1]["to"], "02:00");
  // A weekly window is open on its day (but for its last minute), never ended.
  const std::string past = list["windows"][0]["line"];
  EXPECT_EQ(list["windows"][2]["state"] == "now",
            platform::LocalNow().dayOfWeek == 0 &&
                platform::LocalNow().hour * 60 + platform::LocalNow().minute < 1439);

  json left = RemoveMaintenanceWindow(d, "0", {{"line", past}});
  ASSERT_EQ(left["windows"].size(), 2u);
  EXPECT_EQ(left["windows"][0]["line"], "weekly * 6 2200 0200");
  // A line that is gone already leaves the others.
  EXPECT_EQ(RemoveMaintenanceWindow(d, "0", {{"line", past}})["windows"].size(), 2u);
  RemoveMaintenanceWindow(d, "0", {{"line", "weekly * 6 2200 0200"}});
  RemoveMaintenanceWindow(d, "0", {{"line", "weekly * 0 0000 2359"}});
  EXPECT_FALSE(platform::PathExists(common::MaintenancePath(d)));
}
