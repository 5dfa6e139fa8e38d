#include "console/api.h"

#include <array>
#include <vector>

#include "common/file_ops.h"
#include "common/layout.h"
#include "platform/codepage.h"

namespace console {

using nlohmann::json;

std::string ToUtf8(const std::string& cp932) {
  if (auto u = platform::Cp932ToUtf8(cp932)) return *u;
  // Convert what can be converted, byte by byte for the rest.
  std::string out;
  for (size_t i = 0; i < cp932.size();) {
    size_t len = platform::IsSjisLeadByte(static_cast<unsigned char>(cp932[i])) ? 2 : 1;
    if (auto u = platform::Cp932ToUtf8(cp932.substr(i, len))) {
      out += *u;
    } else {
      out += "\xEF\xBF\xBD";
    }
    i += len;
  }
  return out;
}

// "YYYY/MM/DD hh:mm:ss" for a 14-digit stamp; anything else shows as it is.
std::string FullStamp(const std::string& stamp) {
  if (stamp.size() != 14 || stamp.find_first_not_of("0123456789") != std::string::npos) {
    return ToUtf8(stamp);
  }
  return stamp.substr(0, 4) + "/" + stamp.substr(4, 2) + "/" + stamp.substr(6, 2) + " " +
         stamp.substr(8, 2) + ":" + stamp.substr(10, 2) + ":" + stamp.substr(12, 2);
}

// Whether a scan group has no account at all: its status folders hold no record. Counted
// again only when the list changed.
bool GroupEmpty(ConsoleApp& app, int group) {
  static std::string countedDir;
  static uint64_t countedVersion = UINT64_MAX;
  static std::array<bool, common::kGroupCount> empty{};
  if (countedDir != app.programDir() || countedVersion != app.listVersion()) {
    countedDir = app.programDir();
    countedVersion = app.listVersion();
    for (int g = 0; g < common::kGroupCount; ++g) {
      using F = common::StatusFolder;
      static const std::vector<F> kFolders[common::kGroupCount] = {
          {F::kPing},
          {F::kHttpPage},
          {F::kEmail},
          {F::kFtpTransfer},
          {F::kHttpPort, F::kFtpPort, F::kSmtpPort, F::kPopPort, F::kCustom}};
      int files = 0;
      for (F f : kFolders[g]) {
        files += common::CountFiles(common::InDir(app.programDir(), common::FolderName(f)));
      }
      empty[g] = files == 0;
    }
  }
  return empty[group];
}

json StateJson(ConsoleApp& app) {
  const Scheduler& s = app.scheduler();
  json groups = json::object();
  for (int g = 0; g < common::kGroupCount; ++g) {
    ScanFlags f = s.Flags(g);
    groups[GroupName(g)] = {{"on", s.schedule().groupOn[g] != 0},
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
    static const char* kLamps[] = {"green", "yellow", "red"};
    rows.push_back({{"index", i},
                    {"valid", true},
                    {"enabled", r.enabled},
                    {"lamp", kLamps[static_cast<int>(r.lamp)]},
                    {"name", ToUtf8(r.name)},
                    {"domain", ToUtf8(r.domain)},
                    {"service", r.service},
                    {"lastCheck", r.lastCheck},
                    {"lastCheckFull", FullStamp(r.lastCheckStamp)},
                    {"errorDetected", r.errorDetected},
                    {"errorDetectedFull", FullStamp(r.errorDetectedStamp)},
                    {"duration", r.duration}});
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
    PaneEntry e = ParsePaneLine(*line);
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

int IntOf(const json& body, const char* key, int fallback) {
  auto it = body.find(key);
  if (it == body.end() || !it->is_number_integer()) return fallback;
  return it->get<int>();
}

}  // namespace

json Act(ConsoleApp& app, const std::string& action, const json& body, bool* quit) {
  *quit = false;
  if (action == "command") {
    bool ok = app.RunCommand(IntOf(body, "id", 0), quit);
    return {{"ok", ok}};
  }
  if (action == "sort") {
    bool rebuilt = app.SortBy(IntOf(body, "column", -1));
    return {{"ok", true}, {"rebuilt", rebuilt}};
  }
  if (action == "drag") {
    app.DragBoundary(IntOf(body, "boundary", 0), IntOf(body, "x", 0));
    return {{"ok", true}};
  }
  if (action == "layout") {
    app.SetListWidth(IntOf(body, "width", 0));
    return {{"ok", true}};
  }
  if (action == "toggle") {
    return {{"ok", app.ToggleEnable(IntOf(body, "row", -1))}};
  }
  if (action == "open") {
    ConsoleApp::OpenResult r = app.OpenRow(IntOf(body, "row", -1));
    return {{"ok", r.found}, {"damaged", r.damaged}, {"name", ToUtf8(r.name)}, {"type", r.type}};
  }
  if (action == "window") {
    app.SetWindowRect(IntOf(body, "left", 0), IntOf(body, "top", 0), IntOf(body, "right", 0),
                      IntOf(body, "bottom", 0));
    return {{"ok", true}};
  }
  if (action == "first-prompt") {
    return {{"ok", true}, {"show", app.TakeFirstPrompt()}};
  }
  return {{"ok", false}};
}

nlohmann::json Upload(ConsoleApp& app, const std::string& kind, const std::string& name,
                      std::string body) {
  (void)app;
  (void)name;
  (void)body;
  return {{"ok", false}, {"message", "unknown upload kind: " + kind.substr(0, 64)}};
}

}  // namespace console
