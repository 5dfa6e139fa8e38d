#include "console/routes.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "common/file_ops.h"
#include "common/layout.h"
#include "console/api.h"
#include "console/console_app.h"
#include "console/history_routes.h"
#include "console/main_loop.h"
#include "console/resources.h"
#include "console/web_security.h"
#include "console/web_server.h"
#include "platform/codepage.h"
#include "platform/files.h"

namespace console {
namespace {

// The longest a request waits for the main loop; then it is answered "console busy".
constexpr int kWaitMs = 4000;

// Runs `f(app, loop)` on the main loop; its result, or nullopt when the console was busy.
template <typename F>
auto OnLoop(const RouteContext& context, F f)
    -> std::optional<decltype(f(std::declval<ConsoleApp&>(), std::declval<MainLoop&>()))> {
  std::optional<decltype(f(std::declval<ConsoleApp&>(), std::declval<MainLoop&>()))> result;
  // A task the loop did not start in time never runs, and one it started is waited for:
  // `result` outlives every use.
  if (!context.post([&](ConsoleApp& app, MainLoop& loop) { result = f(app, loop); })) {
    return std::nullopt;
  }
  return result;
}

int QueryInt(const RouteRequest& r, const char* name, int fallback, int lo, int hi) {
  auto text = r.query(name);
  if (!text) return fallback;
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text->c_str(), &end, 10);
  if (end == text->c_str() || *end != '\0' || errno != 0) return fallback;
  return static_cast<int>(std::clamp<long>(v, lo, hi));
}

Reply NotFound() {
  return TextReply(kHttpNotFound, "Not found\n");
}

Reply StateRoute(const RouteContext& context, RouteRequest&) {
  auto body = OnLoop(context, [](ConsoleApp& app, MainLoop&) { return StateJson(app); });
  return body ? JsonReply(*body) : BusyReply();
}

Reply RowsRoute(const RouteContext& context, RouteRequest& r) {
  const int first = QueryInt(r, "first", 0, 0, 1 << 20);
  const int count = QueryInt(r, "count", 40, 0, 500);
  auto body = OnLoop(
      context, [first, count](ConsoleApp& app, MainLoop&) { return RowsJson(app, first, count); });
  return body ? JsonReply(*body) : BusyReply();
}

Reply PaneRoute(const RouteContext& context, RouteRequest& r) {
  const int first = QueryInt(r, "first", 0, 0, 1 << 20);
  const int count = QueryInt(r, "count", 40, 0, 500);
  auto body = OnLoop(
      context, [first, count](ConsoleApp& app, MainLoop&) { return PaneJson(app, first, count); });
  return body ? JsonReply(*body) : BusyReply();
}

Reply WaveRoute(const RouteContext& context, RouteRequest& r) {
  // "name": a file just uploaded for the Sound Test of Setup (UTF-8, CP932 on disk);
  // without it the stored alarm sound.
  std::optional<std::string> name;
  if (auto asked = r.query("name")) {
    name = platform::Utf8ToCp932(*asked);
    if (!name) return NotFound();
  } else {
    name = OnLoop(context, [](ConsoleApp& app, MainLoop&) {
      return common::FieldText(app.settings().alert.settings.waveFile);
    });
    if (!name) return BusyReply();
  }
  // The file is named relative to the Wave folder; nothing may climb out of it.
  if (name->empty() || name->find_first_of(std::string("/\0", 2)) != std::string::npos ||
      (*name)[0] == '.' || name->find("..") != std::string::npos) {
    return NotFound();
  }
  auto data = platform::ReadWholeFile(common::InDir(context.programDir, common::kWave, *name),
                                      WebLimits::kWaveBytes);
  if (!data) return NotFound();
  Reply reply;
  reply.type = "audio/wav";
  reply.cacheControl = "no-store";
  reply.body = std::move(*data);
  return reply;
}

Reply ActRoute(const RouteContext& context, RouteRequest& r) {
  nlohmann::json body = ParsePageJson(r.body);
  r.body.clear();
  if (body.is_discarded() || !body.is_object() || !body.contains("action") ||
      !body["action"].is_string()) {
    return JsonReply({{"ok", false}, {"error", "bad request"}}, kHttpBadRequest);
  }
  const std::string action = body["action"].get<std::string>();
  std::string messageKey;
  auto answer = OnLoop(context, [&action, &body, &messageKey](ConsoleApp& app, MainLoop& loop) {
    bool quit = false;
    nlohmann::json a = Act(app, action, body, &quit, &messageKey);
    if (quit) loop.Quit();
    return a;
  });
  if (!answer) return BusyReply();
  Reply reply = JsonReply(*answer);
  reply.messageKey = std::move(messageKey);
  return reply;
}

Reply UploadRoute(const RouteContext& context, RouteRequest& r) {
  const std::string kind = r.query("kind").value_or("");
  const std::string name = r.query("name").value_or("");
  auto answer = OnLoop(context, [&kind, &name, &r](ConsoleApp& app, MainLoop&) {
    return Upload(app, kind, name, std::move(r.body));
  });
  return answer ? JsonReply(*answer) : BusyReply();
}

// Every route of the web server. What the server bounds before a handler runs (sizes of
// the request and its body, the token of NeedsToken) is in web_server.cpp.
constexpr Route kRoutes[] = {
    {"GET", "/api/state", StateRoute},     // the window: flags, counts, versions
    {"GET", "/api/rows", RowsRoute},       // rows of the list (?first=&count=)
    {"GET", "/api/pane", PaneRoute},       // lines of the activity pane (?first=&count=)
    {"GET", "/api/wave", WaveRoute},       // the alarm sound, or an uploaded one (?name=)
    {"POST", "/api/act", ActRoute},        // an action of kActions (JSON)
    {"POST", "/api/upload", UploadRoute},  // a wave file or an import (?kind=&name=)
    // The history store, read on the server's thread (history_routes.h).
    {"GET", "/api/history/checks", history::ChecksRoute},  // an account's checks (?key=)
    {"GET", "/api/history", history::HistoryRoute},        // a chart (?key=&check=&from=&to=)
    {"GET", "/api/outages", history::OutagesRoute},        // outages (?key=&from=&to=)
    {"GET", "/api/report", history::ReportRoute},          // a month (?month=&format=)
};

// Every action of the page, {"action": name, ...} to POST /api/act.
constexpr Action kActions[] = {
    {"command", actions::Command},                       // a menu, toolbar or check box command
    {"sort", actions::Sort},                             // the list by a column
    {"drag", actions::Drag},                             // a column boundary
    {"layout", actions::Layout},                         // the list's width
    {"toggle", actions::Toggle},                         // a row's check box
    {"open", actions::Open},                             // a row's account (double-click)
    {"account-new", actions::AccountNew},                // the form of a new account of a type
    {"account-load", actions::AccountLoad},              // an account's form
    {"account-save", actions::AccountSave},              // Add, or Save of an edit
    {"custom-check", actions::CustomCheck},              // the custom services' rows
    {"account-delete", actions::AccountDelete},          // Delete of Edit/Delete
    {"accounts-list", actions::AccountsList},            // the rows of Edit/Delete
    {"setup-load", actions::SetupLoad},                  // Setup's form
    {"setup-save", actions::SetupSave},                  // Setup's OK
    {"templates-save", actions::TemplatesSave},          // the global message templates
    {"window", actions::Window},                         // the window's rectangle
    {"language", actions::Language},                     // the language option
    {"logs-list", actions::LogsList},                    // View/Erase Logs: the names
    {"log-view", actions::LogView},                      // a day's log in the pane
    {"log-delete", actions::LogDelete},                  // a day's log removed
    {"export", actions::Export},                         // the accounts to a CSV file
    {"import-path", actions::ImportPath},                // an import from a local file
    {"page-facts", actions::PageFacts},                  // the commands and scan groups (at start)
    {"first-prompt", actions::FirstPrompt},              // the prompt without a mail server
    {"maintenance-list", actions::MaintenanceList},      // Maintenance: the windows
    {"maintenance-add", actions::MaintenanceAdd},        // a window added
    {"maintenance-delete", actions::MaintenanceDelete},  // a window removed
};

}  // namespace

Reply TextReply(unsigned status, std::string text) {
  Reply r;
  r.status = status;
  r.body = std::move(text);
  return r;
}

Reply JsonReply(const nlohmann::json& body, unsigned status) {
  Reply r;
  r.status = status;
  r.type = "application/json; charset=utf-8";
  r.cacheControl = "no-store";
  r.body = body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  return r;
}

Reply BusyReply() {
  Reply r = JsonReply({{"ok", false}, {"message", "console busy"}}, kHttpUnavailable);
  r.messageKey = kConsoleBusyKey;
  return r;
}

PostTask PostToLoop(MainLoop& loop, ConsoleApp& app) {
  return [&loop, &app](ConsoleTask task) {
    return loop
        .CallWithin(kWaitMs,
                    [&loop, &app, task = std::move(task)] {
                      task(app, loop);
                      return true;
                    })
        .has_value();
  };
}

std::span<const Route> Routes() {
  return kRoutes;
}

std::span<const Action> Actions() {
  return kActions;
}

bool NeedsToken(const std::string& path) {
  return path.rfind("/api/", 0) == 0;
}

Reply AnswerRequest(const RouteContext& context, RouteRequest& request) {
  const bool post = request.method == "POST";
  for (const Route& route : kRoutes) {
    if (request.path == route.path && post == (std::string_view(route.method) == "POST")) {
      return route.handler(context, request);
    }
  }
  if (post) return NotFound();
  // The page's own files; "/" is its index.
  const std::string& path = request.path;
  const Resource* res =
      NeedsToken(path) ? nullptr : FindResource(path == "/" ? "/index.html" : path);
  if (res == nullptr) return NotFound();
  Reply reply;
  reply.type = ContentTypeOf(path == "/" ? "/index.html" : path);
  reply.cacheControl = "no-cache";
  reply.body.assign(reinterpret_cast<const char*>(res->data), res->size);
  return reply;
}

nlohmann::json RunAction(ConsoleApp& app, const std::string& name, const nlohmann::json& body,
                         bool* quit) {
  for (const Action& action : kActions) {
    if (name == action.name) return action.run(app, body, quit);
  }
  return {{"ok", false}};
}

}  // namespace console
