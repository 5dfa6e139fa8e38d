// The console's state and operations, all run on the main loop's thread: start-up and exit
// in their fixed order, the two timers, the commands of the main window, and what the page
// reads (list rows, activity pane, flags).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "console/account_transfer.h"
#include "console/column_layout.h"
#include "console/commands.h"
#include "console/display_log.h"
#include "console/latest_job.h"
#include "console/list_model.h"
#include "console/log_files.h"
#include "console/scheduler.h"
#include "console/settings.h"
#include "platform/clock.h"

namespace console {

class ConsoleApp {
 public:
  ConsoleApp(std::string programDir, std::string binDir, Launcher launcher);

  // Start-up steps after the single-instance lock: folders, logs, settings, counts, state
  // files, start-up markers, today's display log.
  void StartUp();
  // Writes Schedule.dat and the window and column keys.
  void Exit();

  void SchedulerTick();
  // The tick at a given local time and monotonic minute (tests drive the clock).
  void SchedulerTickAt(const platform::SystemTime& now, int64_t nowMinute);
  void PollScanState();

  // Runs a command of the menu, toolbar or check boxes. False for an unknown or disabled
  // command. `quit` is set for Exit.
  bool RunCommand(int id, bool* quit);
  void ToggleGroup(int id);
  void TogglePause();
  void ToggleSound();
  void RunScanNow();

  // The list.
  ListModel& list() { return list_; }
  const ColumnEdges& columns() const { return columns_; }
  void SetListWidth(int width);
  // The page's window rectangle in screen pixels, saved at exit.
  void SetWindowRect(int left, int top, int right, int bottom);
  void DragBoundary(int k, int x);
  // A header click. An index that has to be rebuilt is built on the sort worker when a
  // poster is set (the rows keep their order meanwhile, and a later click replaces a build
  // that has not started), else on the spot. True when a rebuild was needed.
  bool SortBy(int column);
  // How the sort worker hands its result to the main loop (MainLoop::Post).
  using Poster = std::function<bool(std::function<void()>)>;
  void SetPoster(Poster poster) { poster_ = std::move(poster); }
  // Waits until the sort worker has nothing to do (tests and benchmarks).
  void WaitForSortWorker() { sortWorker_.WaitIdle(); }
  bool ToggleEnable(int row);
  // Double-click: the account behind the row. `damaged` is set when the record's type is
  // not 0-3 (or the record cannot be read).
  struct OpenResult {
    bool found = false;
    bool damaged = false;
    std::string name;
    std::string key;
    int type = -1;
  };
  OpenResult OpenRow(int row);

  // After an account was added, changed or removed: the counts again, the list back to the
  // server order, and a refresh of the page's list.
  void AccountsChanged();
  // AccountsChanged for one account saved or deleted in the page's dialogs: `removed` is the
  // key that went (a rename's old key, a deleted one), `added` the key saved. The account
  // list kept for Edit/Delete follows without listing the folder again.
  void AccountEdited(const std::string& removed, const std::string& added);
  // The accounts of the Edit/Delete dialog (keys in name order), taken again when `refresh`.
  const std::vector<std::string>& EditList(bool refresh);
  // "Setup" OK replaced the settings: the scheduler takes the new intervals.
  SettingCopies& settingsForSetup() { return settings_; }
  void SettingsReplaced();

  // The pane: today's display log, or a day's log chosen in "View/Erase Logs".
  const DisplayLog& pane() const { return viewedLog_.empty() ? pane_ : viewed_; }
  // The log file the pane shows instead of today's display log ("" for today's).
  const std::string& viewedLog() const { return viewedLog_; }
  // Loads the new lines of today's display log (the pane shows them unless a day's log is
  // being viewed).
  void ReloadPane();
  // Back to today's display log.
  void ShowTodaysLog();

  // "View/Erase Logs": the plain files of the Log folder in name order. Only a name of this
  // listing is ever viewed or deleted.
  std::vector<std::string> LogNames() const;
  bool ViewLog(const std::string& name);
  bool DeleteLog(const std::string& name);

  // The language option ("0" English, "1" Japanese), in effect at once.
  bool SetLanguage(const std::string& language);

  // The import: one line per kImportPacingMs on the main loop (ImportTick), then the list
  // refresh. Start answers "" or the message key of the refusal.
  std::string StartImport(std::string text);
  void ImportTick();
  const AccountImport& import() const { return import_; }
  // Counts of the import that ended last; its serial is 0 before the first.
  struct ImportOutcome {
    uint64_t serial = 0;
    size_t total = 0, rejected = 0;
    std::string report;  // the report file of its rejected lines
  };
  const ImportOutcome& lastImport() const { return lastImport_; }
  uint64_t importSerial() const { return importSerial_; }
  // Every line at once, without the pause (benchmarks, and the command line's --no-pacing).
  void SetImportPacing(bool paced) {
    importPaced_ = paced;
    import_.SetUnpaced(!paced);
  }

  // Read by the page.
  const std::string& programDir() const { return dir_; }
  const WindowKeys& windowKeys() const { return keys_; }
  const SettingCopies& settings() const { return settings_; }
  const Scheduler& scheduler() const { return scheduler_; }
  bool soundPaused() const { return soundPaused_; }
  bool mailConfigured() const { return settings_.mailConfigured; }
  int accountCount() const { return accounts_; }
  uint64_t listVersion() const { return listVersion_; }
  uint64_t paneVersion() const { return paneVersion_; }
  uint64_t alarmCount() const { return alarmCount_; }
  bool alarmActive() const { return alarmActive_; }
  const platform::SystemTime& startTime() const { return start_; }
  // The first-paint prompt: true once per run when no primary mail server is set.
  bool TakeFirstPrompt();
  // Which scan groups have no account at all, as the page was last told; counted again only
  // when the list changed (its version differs).
  struct GroupCounts {
    uint64_t listVersion = UINT64_MAX;
    std::array<bool, common::kGroupCount> empty{};
  };
  GroupCounts& groupCounts() { return groupCounts_; }

 private:
  void RewriteStartMarkers();
  void DeleteScanStateFiles();
  void Recount();
  void SoundAlarm();
  void RefreshOnLogChange();

  std::string dir_;
  platform::SystemTime start_{};
  WindowKeys keys_;
  SettingCopies settings_;
  Scheduler scheduler_;
  ListModel list_;
  ColumnEdges columns_;
  int listWidth_ = 0;
  DisplayLog pane_;
  DisplayLog viewed_;
  std::string viewedLog_;
  AccountImport import_;
  int64_t importNextMs_ = 0;
  bool importPaced_ = true;
  uint64_t importSerial_ = 0;
  platform::SystemTime importStart_{};
  ImportOutcome lastImport_;
  FileEntry paneEntry_;
  int today_ = 0;
  int accounts_ = 0;
  long emailFiles_ = 0;
  bool soundPaused_ = false;
  bool tickBusy_ = false;
  bool pollBusy_ = false;
  bool firstPromptShown_ = false;
  bool alarmActive_ = false;
  int lastRepaintSecond_ = -1, lastRepaintMinute_ = -1;
  std::vector<std::string> editKeys_;
  GroupCounts groupCounts_;
  uint64_t listVersion_ = 1, paneVersion_ = 1, alarmCount_ = 0;
  Poster poster_;
  // Last: it stops (and its job, which uses the members above, ends) before they go.
  LatestJobWorker sortWorker_;
};

}  // namespace console
