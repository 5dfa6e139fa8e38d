#include "console/console_app.h"

#include <algorithm>
#include <cstdio>

#include "common/account_key.h"
#include "common/accounts.h"
#include "common/daily_log.h"
#include "common/file_ops.h"
#include "common/layout.h"
#include "common/record_texts.h"
#include "common/scan_groups.h"
#include "platform/files.h"
#include "platform/ini.h"

namespace console {
namespace {

int64_t NowMinute() {
  return platform::MonotonicMs() / 60000;
}

}  // namespace

ConsoleApp::ConsoleApp(std::string programDir, std::string binDir, Launcher launcher)
    : dir_(std::move(programDir)),
      scheduler_(dir_, std::move(binDir), std::move(launcher)),
      list_(dir_, platform::LocalNow()),
      columns_(DefaultColumns()) {}

void ConsoleApp::StartUp() {
  start_ = platform::LocalNow();
  list_ = ListModel(dir_, start_);
  keys_ = ReadWindowKeys(dir_);
  columns_ = RestoreColumns(keys_.columns, keys_.columns[8] > 0
                                               ? keys_.columns[8]
                                               : DefaultColumns().right[kColumnCount - 1]);
  listWidth_ = columns_.right[kColumnCount - 1];

  // The activity pane shows only the lines of this run.
  const std::string log = common::InDir(dir_, common::kLog);
  const std::string disp = common::InDir(log, common::kDisplayLog);
  platform::MakeDirs(disp);
  for (const std::string& name : platform::ListFiles(disp)) {
    platform::RemoveFile(platform::JoinPath(disp, name));
  }
  WriteLogLine(dir_, 10001, "[Program Started]", "");

  for (const char* folder : {common::kWave, common::kMailBox}) {
    platform::MakeDirs(common::InDir(dir_, folder));
  }
  list_.MakeStores();
  platform::MakeDirs(common::InDir(dir_, common::kTemp));

  platform::MakePrivateDir(common::InDir(dir_, common::kSetting));
  settings_ = ReadSettingCopies(dir_);
  scheduler_.SetIntervals(settings_.scan);
  scheduler_.schedule() = settings_.schedule;
  if (!settings_.mailConfigured) {
    // Nothing can alert yet: every group takes part once the setup is done.
    for (auto& on : scheduler_.schedule().groupOn) on = 1;
  }

  DeleteOldLogs(log, start_, settings_.scan.keepLogDays);
  today_ = start_.day;

  platform::MakePrivateDir(common::InDir(dir_, common::kAllData));
  Recount();
  DeleteScanStateFiles();
  RewriteStartMarkers();
  ReloadPane();
}

void ConsoleApp::Exit() {
  sortWorker_.Stop();
  if (import_.running()) {
    // The lines imported so far stay; the account set changed all the same.
    std::fprintf(stderr, "KTVarnock: the import ended with the console after %zu of %zu lines\n",
                 import_.done(), import_.total());
    import_.Finish();
    common::TouchSettingUpdate(dir_);
  }
  settings_.schedule = scheduler_.schedule();
  common::WriteSchedule(dir_, settings_.schedule);
  keys_.columns = SaveColumns(columns_);
  WriteWindowKeys(dir_, keys_);
}

void ConsoleApp::Recount() {
  accounts_ = common::CountAccounts(dir_);
  emailFiles_ =
      common::CountFiles(common::InDir(dir_, common::FolderName(common::StatusFolder::kEmail)));
}

void ConsoleApp::DeleteScanStateFiles() {
  for (const common::AgentFacts& agent : common::kAgents) {
    // The e-mail agent's state files are numbered, one per account run.
    if (agent.group == common::kGroupEmail) continue;
    platform::RemoveFile(common::InDir(dir_, agent.stateFile));
  }
  for (long n = 0; n < emailFiles_; ++n) platform::RemoveFile(common::EmailStatePath(dir_, n));
}

void ConsoleApp::RewriteStartMarkers() {
  for (const char* folder : common::kStatusFolderNames) {
    common::WriteWholeFile(common::InDir(dir_, folder, common::kFirstRunMarker), "1", 1);
  }
}

void ConsoleApp::SchedulerTick() {
  SchedulerTickAt(platform::LocalNow(), NowMinute());
}

void ConsoleApp::SchedulerTickAt(const platform::SystemTime& now, int64_t nowMinute) {
  if (tickBusy_) return;
  tickBusy_ = true;
  if (now.day != today_) {
    // A new day: old logs go, and the agents restart their statistics.
    today_ = now.day;
    DeleteOldLogs(common::InDir(dir_, common::kLog), now, settings_.scan.keepLogDays);
    RewriteStartMarkers();
  }
  if (!scheduler_.launchInProgress()) scheduler_.Tick(nowMinute, now.year);
  tickBusy_ = false;
}

void ConsoleApp::SoundAlarm() {
  // The page plays the sound: it follows this count, once per call.
  ++alarmCount_;
}

void ConsoleApp::PollScanState() {
  if (scheduler_.paused() || pollBusy_) {
    alarmActive_ = false;
    return;
  }
  alarmActive_ = settings_.alert.settings.soundAlarm == 1 && !soundPaused_ &&
                 scheduler_.AnySwitchedGroupDown();
  if (alarmActive_) SoundAlarm();
  pollBusy_ = true;
  emailFiles_ =
      common::CountFiles(common::InDir(dir_, common::FolderName(common::StatusFolder::kEmail)));
  scheduler_.ReadScanStates(emailFiles_);
  RefreshOnLogChange();
  pollBusy_ = false;
}

void ConsoleApp::RefreshOnLogChange() {
  const std::string path = common::DisplayLogPath(dir_, platform::LocalNow());
  FileEntry entry = EntryOf(path);
  if (!entry.exists || entry == paneEntry_) return;
  paneEntry_ = entry;
  const std::string ini = common::IniPath(dir_);
  for (const char* key :
       {"LASTSTATUSSORT", "LASTERRORDETECTEDSORT", "LASTDURATIONSORT", "LASTCHECKSORT"}) {
    platform::IniSetString(ini, common::kIniSection, key, "000000000000");
  }
  ReloadPane();
  platform::SystemTime now = platform::LocalNow();
  if (now.second != lastRepaintSecond_ || now.minute != lastRepaintMinute_) {
    lastRepaintSecond_ = now.second;
    lastRepaintMinute_ = now.minute;
    ++listVersion_;
  }
}

void ConsoleApp::ReloadPane() {
  if (pane_.Load(common::DisplayLogPath(dir_, platform::LocalNow())) && viewedLog_.empty()) {
    ++paneVersion_;
  }
}

void ConsoleApp::ShowTodaysLog() {
  viewedLog_.clear();
  viewed_.Clear();
  ReloadPane();
  ++paneVersion_;
}

std::vector<std::string> ConsoleApp::LogNames() const {
  std::vector<std::string> names = platform::ListFiles(common::InDir(dir_, common::kLog));
  std::sort(names.begin(), names.end());
  return names;
}

namespace {

bool Listed(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

}  // namespace

bool ConsoleApp::ViewLog(const std::string& name) {
  if (!Listed(LogNames(), name)) return false;
  viewed_.Clear();
  if (!viewed_.Load(common::InDir(dir_, common::kLog, name))) {
    std::fprintf(stderr, "KTVarnock: cannot read the log %s\n", name.c_str());
    viewed_.Clear();
    return false;
  }
  viewedLog_ = name;
  ++paneVersion_;
  return true;
}

bool ConsoleApp::DeleteLog(const std::string& name) {
  if (!Listed(LogNames(), name)) return false;
  if (platform::RemoveFile(common::InDir(dir_, common::kLog, name))) return true;
  std::fprintf(stderr, "KTVarnock: cannot delete the log %s\n", name.c_str());
  return false;
}

bool ConsoleApp::SetLanguage(const std::string& language) {
  if (language != "0" && language != "1") return false;
  keys_.language = language;
  // Kept at exit as well; written now so that a console that is killed keeps it too.
  if (!platform::IniSetString(common::IniPath(dir_), common::kIniSection, "LANGUAGE", language)) {
    std::fprintf(stderr, "KTVarnock: cannot write LANGUAGE to %s\n", common::IniPath(dir_).c_str());
  }
  return true;
}

std::string ConsoleApp::StartImport(std::string text) {
  if (import_.running()) return "msgImportRunning";
  std::string errorKey;
  if (!import_.Start(std::move(text), &errorKey)) return errorKey;
  platform::MakePrivateDir(common::InDir(dir_, common::kAllData));
  list_.MakeStores();
  ++importSerial_;
  importStart_ = platform::LocalNow();
  importNextMs_ = 0;
  return "";
}

void ConsoleApp::ImportTick() {
  if (!import_.running()) return;
  const int64_t now = platform::MonotonicMs();
  if (importPaced_ && now < importNextMs_) return;
  importNextMs_ = now + kImportPacingMs;
  for (;;) {
    import_.Step(dir_, platform::LocalNow());
    if (import_.done() >= import_.total()) break;
    if (importPaced_) return;
  }
  lastImport_ = {importSerial_, import_.total(), import_.rejected(),
                 ImportReportPath(dir_, importStart_)};
  import_.Finish();
  common::TouchSettingUpdate(dir_);
  editKeys_.clear();
  AccountsChanged();
}

bool ConsoleApp::TakeFirstPrompt() {
  if (firstPromptShown_ || settings_.alert.settings.primaryServer[0] != '\0') return false;
  firstPromptShown_ = true;
  return true;
}

void ConsoleApp::ToggleGroup(int id) {
  const CommandInfo* box = FindCommand(id);
  if (box == nullptr || box->group == kNoGroup) return;
  auto& on = scheduler_.schedule().groupOn;
  bool enabled;
  std::string title, name;
  if (box->group == kAllGroups) {
    bool all = true;
    for (uint32_t v : on) all = all && v != 0;
    enabled = !all;
    for (auto& v : on) v = enabled ? 1 : 0;
    title = "[Scan ALL checked]";
    name = "All";
  } else {
    on[box->group] = on[box->group] ? 0 : 1;
    enabled = on[box->group] != 0;
    name = common::GroupFacts(box->group).name;
    title = "[Scan " + name + " checked]";
  }
  WriteLogLine(dir_, 10004, title, name + (enabled ? " Item Enabled." : " Item Disabled."));
}

void ConsoleApp::TogglePause() {
  if (!scheduler_.paused()) {
    scheduler_.SetPaused(true);
    alarmActive_ = false;
    WriteLogLine(dir_, 10006, "Scan Pause Clicked", "Scan Disabled.");
    ReloadPane();
    ++listVersion_;
  } else {
    scheduler_.SetPaused(false);
    WriteLogLine(dir_, 10006, "Scan Start Clicked", "Scan Enabled.");
  }
}

void ConsoleApp::ToggleSound() {
  soundPaused_ = !soundPaused_;
  if (soundPaused_) {
    alarmActive_ = false;
    WriteLogLine(dir_, 10006, "Sound Pause Clicked", "Sound Disabled.");
  } else {
    WriteLogLine(dir_, 10006, "Sound Start Clicked", "Sound Enabled.");
  }
}

void ConsoleApp::RunScanNow() {
  Recount();
  if (accounts_ == 0) return;
  WriteLogLine(dir_, 10010, "[Run Scan Now clicked]", "Scan Started");
  scheduler_.RunNow(NowMinute());
}

bool ConsoleApp::RunCommand(int id, bool* quit) {
  if (quit) *quit = false;
  // The commands of the menu, toolbar and check boxes that the console runs itself; one
  // that needs a mail server (by the command table) is refused while none is set up.
  struct Entry {
    int id;
    void (*run)(ConsoleApp& app, int id, bool* quit);
  };
  constexpr auto setAllEnabled = [](ConsoleApp& app, int id, bool*) {
    app.list_.SetAllEnabled(id == kCmdEnableAll);
    ++app.listVersion_;
  };
  constexpr auto toggleGroup = [](ConsoleApp& app, int id, bool*) { app.ToggleGroup(id); };
  constexpr Entry kCommands[] = {
      {kCmdRunScanNow, [](ConsoleApp& app, int, bool*) { app.RunScanNow(); }},
      {kCmdExit,
       [](ConsoleApp&, int, bool* quit) {
         if (quit) *quit = true;
       }},
      {kCmdEnableAll, setAllEnabled},
      {kCmdDisableAll, setAllEnabled},
      {kCmdGroupAll, toggleGroup},
      {kCmdGroupPing, toggleGroup},
      {kCmdGroupPort, toggleGroup},
      {kCmdGroupHttp, toggleGroup},
      {kCmdGroupFtp, toggleGroup},
      {kCmdGroupEmail, toggleGroup},
      {kCmdPauseScan, [](ConsoleApp& app, int, bool*) { app.TogglePause(); }},
      {kCmdPauseSound, [](ConsoleApp& app, int, bool*) { app.ToggleSound(); }},
      {kCmdReloadPane, [](ConsoleApp& app, int, bool*) { app.ShowTodaysLog(); }},
      {kCmdRefreshList,
       [](ConsoleApp& app, int, bool*) {
         app.Recount();
         ++app.listVersion_;
       }},
  };
  for (const Entry& command : kCommands) {
    if (command.id != id) continue;
    const CommandInfo* info = FindCommand(id);
    if (info == nullptr || (info->needsMailServer && !mailConfigured())) return false;
    command.run(*this, id, quit);
    return true;
  }
  return false;
}

void ConsoleApp::SetListWidth(int width) {
  if (width < 100 || width > 20000) return;
  listWidth_ = width;
  FitLastColumn(columns_, width);
}

void ConsoleApp::SetWindowRect(int left, int top, int right, int bottom) {
  // Only a plausible rectangle is kept (a restored window lies on the screen).
  if (left < 0 || top < 0 || right <= left || bottom <= top) return;
  keys_.left = left;
  keys_.top = top;
  keys_.right = right;
  keys_.bottom = bottom;
}

void ConsoleApp::DragBoundary(int k, int x) {
  console::DragBoundary(columns_, k, x, listWidth_);
  FitLastColumn(columns_, listWidth_);
  keys_.columns = SaveColumns(columns_);
  ++listVersion_;
}

bool ConsoleApp::SortBy(int column) {
  const SortRequest request = list_.RequestSort(column);
  ++listVersion_;
  if (!request.rebuild) return false;
  if (!poster_) {
    list_.SortBuilt(request, list_.BuildIndex(request.column));
    ++listVersion_;
    return true;
  }
  // The build reads and writes only files; the model changes back on the main loop.
  sortWorker_.Submit([this, request](const std::function<bool()>& superseded) {
    BuiltIndex built = list_.BuildIndex(request.column, superseded);
    if (!built.ok && superseded()) return;
    poster_([this, request, built] {
      list_.SortBuilt(request, built);
      ++listVersion_;
    });
  });
  return true;
}

bool ConsoleApp::ToggleEnable(int row) {
  bool changed = list_.ToggleEnable(row);
  if (changed) ++listVersion_;
  return changed;
}

void ConsoleApp::AccountsChanged() {
  Recount();
  list_.ResetSort();
  ++listVersion_;
}

void ConsoleApp::AccountEdited(const std::string& removed, const std::string& added) {
  if (editKeys_.empty()) {
    AccountsChanged();
    EditList(true);
    return;
  }
  if (!removed.empty() && removed != added) {
    auto at = std::lower_bound(editKeys_.begin(), editKeys_.end(), removed);
    if (at != editKeys_.end() && *at == removed) editKeys_.erase(at);
  }
  if (!added.empty()) {
    auto at = std::lower_bound(editKeys_.begin(), editKeys_.end(), added);
    if (at == editKeys_.end() || *at != added) editKeys_.insert(at, added);
  }
  accounts_ = static_cast<int>(editKeys_.size());
  emailFiles_ =
      common::CountFiles(common::InDir(dir_, common::FolderName(common::StatusFolder::kEmail)));
  list_.ResetSort();
  ++listVersion_;
}

const std::vector<std::string>& ConsoleApp::EditList(bool refresh) {
  if (refresh || editKeys_.empty()) {
    editKeys_ = common::ListAccounts(dir_);
    std::sort(editKeys_.begin(), editKeys_.end());
    accounts_ = static_cast<int>(editKeys_.size());
  }
  return editKeys_;
}

void ConsoleApp::SettingsReplaced() {
  scheduler_.SetIntervals(settings_.scan);
  ++listVersion_;
}

ConsoleApp::OpenResult ConsoleApp::OpenRow(int row) {
  OpenResult r;
  std::optional<ListRecord> rec = list_.RecordAt(row);
  if (!rec) return r;
  r.found = true;
  const std::string key = rec->nameField.substr(0, rec->nameField.find('('));
  r.name = common::DecodeKey(key);
  r.key = key;
  bool whole = false;
  common::AccountFile account = common::ReadAccount(common::AccountPath(dir_, key), &whole);
  r.type = whole ? account.record.type : -1;
  r.damaged = !whole || account.record.type > common::kEmail;
  return r;
}

}  // namespace console
