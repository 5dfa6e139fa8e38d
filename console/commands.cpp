#include "console/commands.h"

#include "common/scan_groups.h"

namespace console {
namespace {

constexpr CommandInfo kCommands[] = {
    {kCmdSetup, "setup", "cmd1149", "", false},
    {kCmdImport, "import", "cmd1265", "", true},
    {kCmdExport, "export", "cmd1269", "", true},
    {kCmdExit, "exit", "cmd1017", "", false},
    {kCmdRunScanNow, "runScanNow", "cmd1071", "run", true},
    {kCmdAddServer, "addServer", "cmd1076", "addserver", true, common::kServer},
    {kCmdAddHttp, "addHttp", "cmd1091", "addhttp", true, common::kHttpPage},
    {kCmdAddFtp, "addFtp", "cmd1065", "addftp", true, common::kFtpTransfer},
    {kCmdAddEmail, "addEmail", "cmd1077", "addemail", true, common::kEmail},
    {kCmdEditDelete, "editDelete", "cmd1081", "editdelete", true},
    {kCmdLogs, "logs", "menu1083", "logs", true},
    {kCmdOption, "option", "cmd1287", "", false},
    {kCmdAbout, "about", "cmd1153", "", false},
    {kCmdEnableAll, "enableAll", "cmd1285", "enableall", true},
    {kCmdDisableAll, "disableAll", "cmd1289", "disableall", true},
    {kCmdReloadPane, "reloadPane", "cmd1260", "", false},
    {kCmdRefreshList, "refreshList", "cmd1345", "", false},
    {kCmdGroupAll, "groupAll", "groupALL", "", false, -1, kAllGroups},
    {kCmdGroupPing, "groupPing", "groupPING", "", false, -1, common::kGroupPing},
    {kCmdGroupPort, "groupPort", "groupPORT", "", false, -1, common::kGroupPort},
    {kCmdGroupHttp, "groupHttp", "groupHTTP", "", false, -1, common::kGroupHttp},
    {kCmdGroupFtp, "groupFtp", "groupFTP", "", false, -1, common::kGroupFtp},
    {kCmdGroupEmail, "groupEmail", "groupEMAIL", "", false, -1, common::kGroupEmail},
    {kCmdPauseScan, "pauseScan", "pauseScan", "", false},
    {kCmdPauseSound, "pauseSound", "pauseSound", "", false},
    {kCmdHistory, "history", "cmdHistory", "", false},
    {kCmdReport, "report", "cmdReport", "", false},
    {kCmdMaintenance, "maintenance", "cmdMaintenance", "", false},
};

}  // namespace

std::span<const CommandInfo> Commands() {
  return kCommands;
}

const CommandInfo* FindCommand(int id) {
  for (const CommandInfo& c : kCommands) {
    if (c.id == id) return &c;
  }
  return nullptr;
}

nlohmann::json PageFactsJson() {
  using nlohmann::json;
  json commands = json::array();
  json groups = json::array();
  for (const CommandInfo& c : kCommands) {
    commands.push_back({{"id", c.id},
                        {"name", c.name},
                        {"key", c.messageKey},
                        {"icon", c.icon},
                        {"needsMailServer", c.needsMailServer},
                        {"accountType", c.accountType}});
  }
  for (common::ScanGroup g : common::kGroupDisplayOrder) {
    const common::ScanGroupFacts& facts = common::GroupFacts(g);
    int box = 0;
    for (const CommandInfo& c : kCommands) {
      if (c.group == g) box = c.id;
    }
    groups.push_back({{"name", facts.name},
                      {"index", static_cast<int>(g)},
                      {"command", box},
                      {"logLabel", facts.logLabel}});
  }
  return {{"ok", true}, {"commands", commands}, {"groups", groups}};
}

}  // namespace console
