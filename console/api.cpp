#include "console/api.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdio>
#include <optional>
#include <vector>

#include "common/account_key.h"
#include "common/file_ops.h"
#include "common/layout.h"
#include "common/scan_groups.h"
#include "common/status_update.h"
#include "console/account_editing.h"
#include "console/account_transfer.h"
#include "console/commands.h"
#include "console/form_values.h"
#include "console/maintenance_dialog.h"
#include "console/routes.h"
#include "console/setup_form.h"
#include "console/text_convert.h"
#include "console/ui_text.h"
#include "platform/codepage.h"
#include "platform/files.h"

namespace console {

using nlohmann::json;

// Whether a scan group has no account at all: its status folders hold no record. Counted
// again only when the list changed.
bool GroupEmpty(ConsoleApp& app, int group) {
  ConsoleApp::GroupCounts& counted = app.groupCounts();
  std::array<bool, common::kGroupCount>& empty = counted.empty;
  if (counted.listVersion != app.listVersion()) {
    counted.listVersion = app.listVersion();
    for (int g = 0; g < common::kGroupCount; ++g) {
      int files = 0;
      for (common::Agent a : common::GroupFacts(g).agents) {
        files += common::CountFiles(
            common::InDir(app.programDir(), common::FolderName(common::FactsOf(a).folder)));
      }
      empty[g] = files == 0;
    }
  }
  return empty[group];
}

namespace {

// The import in progress (lines done of total, rejected so far) and the outcome of the last.
json ImportJson(ConsoleApp& app) {
  const AccountImport& job = app.import();
  const ConsoleApp::ImportOutcome& last = app.lastImport();
  return {{"running", job.running()},
          {"serial", app.importSerial()},
          {"done", job.done()},
          {"total", job.total()},
          {"rejected", job.rejected()},
          {"last",
           {{"serial", last.serial},
            {"total", last.total},
            {"rejected", last.rejected},
            {"report", ToUtf8(last.report)}}}};
}

// The console's local minute, YYYYMMDDhhmm: the page ends its history spans there, on the
// clock the history is kept in, whatever the browser's own clock says.
std::string MinuteStamp(const platform::SystemTime& t) {
  char text[16];
  std::snprintf(text, sizeof text, "%04u%02u%02u%02u%02u", t.year % 10000u, t.month % 100u,
                t.day % 100u, t.hour % 100u, t.minute % 100u);
  return text;
}

}  // namespace

json StateJson(ConsoleApp& app) {
  const Scheduler& s = app.scheduler();
  json groups = json::object();
  for (int g = 0; g < common::kGroupCount; ++g) {
    ScanFlags f = s.Flags(g);
    groups[common::GroupFacts(g).name] = {{"on", s.schedule().groupOn[g] != 0},
                                          {"busy", f.busy},
                                          {"down", f.down},
                                          {"empty", GroupEmpty(app, g)}};
  }
  const common::AlertSettings& alert = app.settings().alert.settings;
  const ColumnEdges& c = app.columns();
  json desc = json::array();
  for (int i = 0; i < 8; ++i) desc.push_back(app.list().descending(i));
  return {
      {"language", app.windowKeys().language},
      {"listVersion", app.listVersion()},
      {"paneVersion", app.paneVersion()},
      {"paneLines", app.pane().LineCount()},
      {"paneLog", ToUtf8(app.viewedLog())},
      {"import", ImportJson(app)},
      {"rows", app.list().RowCount()},
      {"accounts", app.accountCount()},
      {"mailConfigured", app.mailConfigured()},
      {"paused", s.paused()},
      {"soundPaused", app.soundPaused()},
      {"groups", groups},
      {"alarm",
       {{"count", app.alarmCount()}, {"active", app.alarmActive()}, {"wave", alert.playWave == 1}}},
      {"sortColumn", app.list().sortColumn()},
      {"descending", desc},
      {"columns", {{"left", c.left}, {"right", c.right}}},
      {"programDir", ToUtf8(app.programDir())},
      {"now", MinuteStamp(platform::LocalNow())},
  };
}

json RowsJson(ConsoleApp& app, int first, int count) {
  json rows = json::array();
  const platform::SystemTime now = platform::LocalNow();
  const int total = app.list().RowCount();
  for (int i = std::max(first, 0); i < total && i < first + count; ++i) {
    ListRow r = app.list().Row(i, now);
    if (!r.valid) {
      rows.push_back({{"index", i}, {"valid", false}});
      continue;
    }
    static const char* kLamps[] = {"green", "yellow", "red", "white"};
    static const char* kMarks[] = {"", "behindParent", "flapping", "maintenance"};
    rows.push_back({{"index", i},
                    {"valid", true},
                    {"key", r.nameField.substr(0, r.nameField.find('('))},
                    {"enabled", r.enabled},
                    {"lamp", kLamps[static_cast<int>(r.lamp)]},
                    {"name", ToUtf8(r.name)},
                    {"domain", ToUtf8(r.domain)},
                    {"service", r.service},
                    {"lastCheck", r.lastCheck},
                    {"lastCheckFull", FullStamp(r.lastCheckStamp)},
                    {"errorDetected", r.errorDetected},
                    {"errorDetectedFull", FullStamp(r.errorDetectedStamp)},
                    {"duration", r.duration},
                    {"alertMark", kMarks[r.alertMark.kind]},
                    {"alertParent", ToUtf8(r.alertMark.parent)}});
  }
  return {{"rows", rows}, {"total", total}, {"listVersion", app.listVersion()}};
}

json PaneJson(ConsoleApp& app, int first, int count) {
  json lines = json::array();
  const DisplayLog& pane = app.pane();
  for (int r = 0; r < count; ++r) {
    std::optional<std::string_view> line =
        pane.PaneRow(static_cast<size_t>(std::max(first, 0)), static_cast<size_t>(r));
    if (!line) break;
    PaneEntry e = ParsePaneLine(*line, app.viewedLog().empty());
    static const char* kTones[] = {"normal", "failure", "event"};
    lines.push_back({{"time", ToUtf8(e.time)},
                     {"date", ToUtf8(e.date)},
                     {"name", ToUtf8(e.name)},
                     {"message", ToUtf8(e.message)},
                     {"tone", kTones[static_cast<int>(e.tone)]}});
  }
  return {{"lines", lines}, {"total", pane.LineCount()}, {"paneVersion", app.paneVersion()}};
}

namespace {

// A number of the page that is present but not a whole number within [lo, hi]: the action is
// refused as a whole (never wrapped onto another row, column or command).
struct NumberRefused {};

int IntOf(const json& body, const char* key, int fallback, int lo = INT_MIN, int hi = INT_MAX) {
  const CheckedNumber n = NumberAt(body, key, lo, hi);
  if (n.refused()) throw NumberRefused{};
  return static_cast<int>(n.Or(fallback));
}

std::string StringOf(const json& body, const char* key) {
  auto it = body.find(key);
  return it != body.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// A lock another process held past the console's bound: the action could not be done now.
const FormError kFilesBusy{"msgFilesBusy", ""};

// A refused form: its message in the console's language. The page tells the busy refusal by
// its text alone, which is English in either language.
json Refusal(ConsoleApp& app, const FormError& e) {
  if (e.key == kFilesBusy.key) return {{"ok", false}, {"message", MessageText("0", e.key)}};
  const std::string& language = app.windowKeys().language;
  std::string arg = e.arg.empty() ? "" : MessageText(language, e.arg);
  while (!arg.empty() && (arg.back() == ':' || arg.back() == ' ')) arg.pop_back();
  while (!arg.empty() && arg.front() == ' ') arg.erase(0, 1);
  return {{"ok", false}, {"key", e.key}, {"message", MessageText(language, e.key, arg)}};
}

json Damaged(ConsoleApp& app) {
  return {{"ok", false},
          {"damaged", true},
          {"message", MessageText(app.windowKeys().language, "damaged")}};
}

// The Edit/Delete rows first..first+count-1: name, domain and service of each record.
json EditRows(ConsoleApp& app, int first, int count, bool refresh) {
  const std::vector<std::string>& keys = app.EditList(refresh);
  json rows = json::array();
  const int total = static_cast<int>(keys.size());
  for (int i = std::max(first, 0); i < total && i < first + count; ++i) {
    common::AccountRecord r{};
    const int read =
        common::ReadFixedFile(common::AccountPath(app.programDir(), keys[i]), &r, sizeof r);
    if (read != 1) {
      rows.push_back({{"index", i},
                      {"key", keys[i]},
                      {"revision", AccountRevision(app.programDir(), keys[i])},
                      {"readable", false}});
      continue;
    }
    rows.push_back(
        {{"index", i},
         {"key", keys[i]},
         {"revision", AccountRevision(app.programDir(), keys[i])},
         {"readable", true},
         {"damaged", r.type > common::kEmail},
         {"name", ToUtf8(common::DecodeKey(common::FieldText(r.key)))},
         {"domain", ToUtf8(common::FieldText(r.host))},
         {"service",
          ServiceSummary(
              r, common::ReadAccountOptions(app.programDir(), keys[i], r.type).options.secure)}});
  }
  return {{"ok", true}, {"rows", rows}, {"total", total}};
}

json LoadAccount(ConsoleApp& app, const std::string& key) {
  if (key.empty() || key.size() > 62 ||
      key.find_first_not_of("0123456789abcdef") != std::string::npos) {
    return {{"ok", false}};
  }
  bool whole = false;
  common::AccountFile account =
      common::ReadAccount(common::AccountPath(app.programDir(), key), &whole);
  if (!whole || account.record.type > common::kEmail) return Damaged(app);
  account.options = common::ReadAccountOptions(app.programDir(), key, account.record.type).options;
  json form = AccountFormJson(account);
  form["key"] = key;
  // The state the dialog edits; its save is refused when the record changed meanwhile.
  return {{"ok", true}, {"form", form}, {"revision", AccountRevision(app.programDir(), key)}};
}

}  // namespace

namespace {

json ImportStarted(ConsoleApp& app, std::string text) {
  const std::string refused = app.StartImport(std::move(text));
  if (!refused.empty()) return Refusal(app, {refused, ""});
  return {{"ok", true}, {"serial", app.importSerial()}, {"total", app.import().total()}};
}

// A path typed in the page: CP932 on disk; a relative path lies in the program directory.
std::optional<std::string> LocalPath(ConsoleApp& app, const std::string& utf8) {
  auto path = platform::Utf8ToCp932(utf8);
  if (!path) return std::nullopt;
  if (!path->empty() && (*path)[0] != '/') *path = platform::JoinPath(app.programDir(), *path);
  return path;
}

// `replace`: the page asked whether an existing file may be replaced, and it may.
json Export(ConsoleApp& app, const std::string& utf8, bool replace) {
  if (utf8.empty()) return Refusal(app, {"msgPathBlank", ""});
  auto path = LocalPath(app, utf8);
  if (!path) return Refusal(app, {"msgNotCp932", "lblFilePath"});
  ExportResult r = ExportAccounts(app.programDir(), *path, replace);
  const std::string& language = app.windowKeys().language;
  if (r.exists) {
    return {{"ok", false},
            {"exists", true},
            {"message", MessageText(language, "msgExportReplace", ToUtf8(*path))}};
  }
  if (!r.ok) {
    std::fprintf(stderr, "KTVarnock: nothing was exported to %s: %s\n", path->c_str(),
                 r.error.c_str());
    return {{"ok", false}, {"message", MessageText(language, "msgExportFailed", ToUtf8(r.error))}};
  }
  return {{"ok", true},
          {"accounts", r.accounts},
          {"path", ToUtf8(*path)},
          {"message", MessageText(language, "msgExportDone", ToUtf8(*path))}};
}

json ImportFromPath(ConsoleApp& app, const std::string& utf8) {
  if (utf8.empty()) return Refusal(app, {"msgPathBlank", ""});
  auto path = LocalPath(app, utf8);
  if (!path) return Refusal(app, {"msgNotCp932", "lblFilePath"});
  if (platform::FileSize(*path) > static_cast<int64_t>(kMaxImportBytes)) {
    return Refusal(app, {"msgImportTooBig", ""});
  }
  auto text = platform::IsRegularFile(*path) ? platform::ReadWholeFile(*path, kMaxImportBytes)
                                             : std::nullopt;
  if (!text) {
    return {{"ok", false},
            {"message", MessageText(app.windowKeys().language, "msgImportUnreadable", utf8)}};
  }
  return ImportStarted(app, std::move(*text));
}

json LogList(ConsoleApp& app) {
  json names = json::array();
  for (const std::string& name : app.LogNames()) names.push_back(ToUtf8(name));
  return {{"ok", true}, {"names", names}};
}

// A log name of the page: only a name of the Log folder's listing is ever used.
std::string LogName(const json& body) {
  auto it = body.find("name");
  if (it == body.end() || !it->is_string()) return "";
  return platform::Utf8ToCp932(it->get<std::string>()).value_or("");
}

}  // namespace

json Upload(ConsoleApp& app, const std::string& kind, const std::string& name, std::string body) {
  if (kind == "import") return ImportStarted(app, std::move(body));
  if (kind != "wave") return Refusal(app, {"msgBadRequest", ""});
  std::string stored;
  FormError e = StoreWave(app.programDir(), name, body, &stored);
  if (!e.ok()) return Refusal(app, e);
  return {{"ok", true}, {"name", ToUtf8(stored)}};
}

// The actions of the page, in the order of the table in routes.cpp.
namespace actions {

json Command(ConsoleApp& app, const json& body, bool* quit) {
  bool ok = app.RunCommand(IntOf(body, "id", 0), quit);
  return {{"ok", ok}};
}

json Sort(ConsoleApp& app, const json& body, bool*) {
  bool rebuilt = app.SortBy(IntOf(body, "column", -1));
  return {{"ok", true}, {"rebuilt", rebuilt}};
}

json Drag(ConsoleApp& app, const json& body, bool*) {
  app.DragBoundary(IntOf(body, "boundary", 0), IntOf(body, "x", 0));
  return {{"ok", true}};
}

json Layout(ConsoleApp& app, const json& body, bool*) {
  app.SetListWidth(IntOf(body, "width", 0));
  return {{"ok", true}};
}

json Toggle(ConsoleApp& app, const json& body, bool*) {
  return {{"ok", app.ToggleEnable(IntOf(body, "row", -1, 0))}};
}

json Open(ConsoleApp& app, const json& body, bool*) {
  ConsoleApp::OpenResult r = app.OpenRow(IntOf(body, "row", -1, 0));
  json answer = {{"ok", r.found},
                 {"damaged", r.damaged},
                 {"name", ToUtf8(r.name)},
                 {"key", r.key},
                 {"type", r.type}};
  if (r.damaged) answer["message"] = MessageText(app.windowKeys().language, "damaged");
  return answer;
}

json AccountNew(ConsoleApp& app, const json& body, bool*) {
  int type = IntOf(body, "type", -1, common::kServer, common::kEmail);
  if (type < common::kServer) return {{"ok", false}};
  return {{"ok", true}, {"form", NewAccountFormJson(type, app.settings().alert)}};
}

json AccountLoad(ConsoleApp& app, const json& body, bool*) {
  return LoadAccount(app, StringOf(body, "key"));
}

json AccountSave(ConsoleApp& app, const json& body, bool*) {
  const json& form = body.value("form", json::object());
  if (!form.is_object()) return Refusal(app, {"msgBadRequest", ""});
  const std::string originalKey = StringOf(body, "originalKey");
  const std::string revision = StringOf(body, "revision");
  // An edit names the state it was loaded from; without it a stale dialog would win.
  if (!originalKey.empty() && revision.empty()) return Refusal(app, {"msgBadRequest", ""});
  SaveOutcome out =
      SaveAccount(app.programDir(), form, app.settings().alert, originalKey, revision);
  if (!out.error.ok()) return Refusal(app, out.error);
  app.AccountEdited(originalKey, out.key);
  return {{"ok", true}, {"key", out.key}};
}

json CustomCheck(ConsoleApp& app, const json& body, bool*) {
  FormError e;
  CustomRows rows = ParseCustomRows(body.value("customRows", json::array()), &e);
  if (e.ok()) e = ValidateCustomRows(rows);
  return e.ok() ? json{{"ok", true}} : Refusal(app, e);
}

json AccountDelete(ConsoleApp& app, const json& body, bool*) {
  FormError why;
  const std::string key = StringOf(body, "key");
  bool ok = DeleteAccount(app.programDir(), key, StringOf(body, "revision"), &why);
  if (ok) {
    app.AccountEdited(key, "");
  } else {
    // What is there now, whatever stopped the delete.
    app.AccountsChanged();
    app.EditList(true);
  }
  const int total = static_cast<int>(app.EditList(false).size());
  json answer = why.ok() ? json{{"ok", ok}} : Refusal(app, why);
  answer["total"] = total;
  return answer;
}

json AccountsList(ConsoleApp& app, const json& body, bool*) {
  return EditRows(app, IntOf(body, "first", 0, 0), std::min(IntOf(body, "count", 40, 0), 500),
                  body.contains("refresh") && body["refresh"] == true);
}

json SetupLoad(ConsoleApp& app, const json&, bool*) {
  return {{"ok", true}, {"setup", SetupJson(app.programDir(), app.settings())}};
}

json SetupSave(ConsoleApp& app, const json& body, bool*) {
  const json& form = body.value("form", json::object());
  if (!form.is_object()) return Refusal(app, {"msgBadRequest", ""});
  SettingCopies next = app.settings();
  FormError e = SaveSetup(app.programDir(), form, &next);
  if (e.key == "msgWriteFailed" || e.ok()) {
    app.settingsForSetup() = next;
    app.SettingsReplaced();
  }
  return e.ok() ? json{{"ok", true}} : Refusal(app, e);
}

json TemplatesSave(ConsoleApp& app, const json& body, bool*) {
  FormError e = SaveGlobalTemplates(app.programDir(), StringOf(body, "kind"),
                                    body.value("texts", json::array()));
  return e.ok() ? json{{"ok", true}} : Refusal(app, e);
}

json Window(ConsoleApp& app, const json& body, bool*) {
  app.SetWindowRect(IntOf(body, "left", 0), IntOf(body, "top", 0), IntOf(body, "right", 0),
                    IntOf(body, "bottom", 0));
  return {{"ok", true}};
}

json Language(ConsoleApp& app, const json& body, bool*) {
  return {{"ok", app.SetLanguage(StringOf(body, "language"))}};
}

json LogsList(ConsoleApp& app, const json&, bool*) {
  return LogList(app);
}

json LogView(ConsoleApp& app, const json& body, bool*) {
  bool ok = app.ViewLog(LogName(body));
  return {{"ok", ok}, {"paneVersion", app.paneVersion()}};
}

json LogDelete(ConsoleApp& app, const json& body, bool*) {
  bool ok = app.DeleteLog(LogName(body));
  json answer = LogList(app);
  answer["ok"] = ok;
  return answer;
}

json Export(ConsoleApp& app, const json& body, bool*) {
  return console::Export(app, StringOf(body, "path"),
                         body.contains("replace") && body["replace"] == true);
}

json ImportPath(ConsoleApp& app, const json& body, bool*) {
  return ImportFromPath(app, StringOf(body, "path"));
}

json PageFacts(ConsoleApp&, const json&, bool*) {
  return PageFactsJson();
}

json FirstPrompt(ConsoleApp& app, const json&, bool*) {
  return {{"ok", true}, {"show", app.TakeFirstPrompt()}};
}

json MaintenanceList(ConsoleApp& app, const json&, bool*) {
  return MaintenanceWindows(app.programDir(), app.windowKeys().language);
}

json MaintenanceAdd(ConsoleApp& app, const json& body, bool*) {
  return AddMaintenanceWindow(app.programDir(), app.windowKeys().language, body);
}

json MaintenanceDelete(ConsoleApp& app, const json& body, bool*) {
  return RemoveMaintenanceWindow(app.programDir(), app.windowKeys().language, body);
}

}  // namespace actions

json Act(ConsoleApp& app, const std::string& action, const json& body, bool* quit,
         std::string* messageKey) {
  *quit = false;
  const common::LockWaitWatch watch;
  json answer;
  try {
    answer = RunAction(app, action, body, quit);
  } catch (const json::exception&) {
    // A request whose values have the wrong types changes nothing.
    answer = {{"ok", false}};
  } catch (const NumberRefused&) {
    answer = Refusal(app, {"msgBadRequest", ""});
  }
  // Another process held a lock past the console's bound: whatever the action answered,
  // it could not be done now.
  if (watch.TimedOut()) {
    answer = Refusal(app, kFilesBusy);
    if (messageKey) *messageKey = kFilesBusy.key;
  }
  return answer;
}

}  // namespace console
