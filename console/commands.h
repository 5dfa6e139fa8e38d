// The commands of the main window (menu, toolbar, group check boxes, "Current Activity"
// buttons) in one table: the console runs them by it, and the page draws and enables its
// menus and buttons from the same rows.
#pragma once

#include <nlohmann/json.hpp>
#include <span>

namespace console {

// Command identifiers of the main window.
enum Command : int {
  kCmdSetup = 1149,
  kCmdImport = 1265,
  kCmdExport = 1269,
  kCmdExit = 1017,
  kCmdRunScanNow = 1071,
  kCmdAddServer = 1076,
  kCmdAddHttp = 1091,
  kCmdAddFtp = 1065,
  kCmdAddEmail = 1077,
  kCmdEditDelete = 1081,
  kCmdLogs = 1083,
  kCmdOption = 1287,
  kCmdAbout = 1153,
  kCmdEnableAll = 1285,
  kCmdDisableAll = 1289,
  kCmdReloadPane = 1260,
  kCmdRefreshList = 1345,
  kCmdGroupAll = 1140,
  kCmdGroupPing = 1109,
  kCmdGroupPort = 1148,
  kCmdGroupHttp = 1093,
  kCmdGroupFtp = 1097,
  kCmdGroupEmail = 1095,
  kCmdPauseScan = 1301,
  kCmdPauseSound = 1129,
  // The page's own views of the history store: nothing for the console to run.
  kCmdHistory = 1410,
  kCmdReport = 1411,
  kCmdMaintenance = 1412,
};

// The `group` of a command that is no group check box, and of the "ALL" box.
inline constexpr int kNoGroup = -1;
inline constexpr int kAllGroups = -2;

struct CommandInfo {
  Command id;
  const char* name;        // how the page's menus and toolbar name it
  const char* messageKey;  // its caption in the message tables
  const char* icon;        // toolbar icon ("" when it has no toolbar button)
  bool needsMailServer;    // refused (and drawn disabled) until a mail server is set up
  int accountType = -1;    // the account type an "Add" command opens, -1 for the others
  int group = kNoGroup;    // the scan group a check box switches (common::ScanGroup)
};

std::span<const CommandInfo> Commands();
// The row of `id`, or nullptr for an unknown command.
const CommandInfo* FindCommand(int id);

// What the page is told once at start: the commands and the scan groups in the order it
// shows them, each group with the command of its check box.
nlohmann::json PageFactsJson();

}  // namespace console
