// Every request the console answers, in one place (routes.cpp): the routes of the web
// server, and the actions that the page sends to POST /api/act. A route's handler runs on a
// thread of the web server and posts whatever touches the console's state to the main loop;
// an action runs on the main loop.
#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>

namespace console {

class ConsoleApp;
class MainLoop;

// The HTTP statuses the routes answer with.
enum HttpStatus : unsigned {
  kHttpOk = 200,
  kHttpBadRequest = 400,
  kHttpNotFound = 404,
  kHttpUnavailable = 503,
};

// What one answer is made of, built by a handler and sent in one piece.
struct Reply {
  unsigned status = kHttpOk;
  std::string type = "text/plain; charset=utf-8";
  std::string body;
  std::string cacheControl;
  std::string messageKey;  // sent as kMessageKeyHeader when set
};

// Busy answers name themselves in this header with a message key, so that the page knows
// them without reading their text (the text stays as it is shown).
inline constexpr const char* kMessageKeyHeader = "X-Varn-Message-Key";
inline constexpr const char* kConsoleBusyKey = "consoleBusy";

Reply TextReply(unsigned status, std::string text);
Reply JsonReply(const nlohmann::json& body, unsigned status = kHttpOk);
// The main loop did not take the request in time (or the console is ending); named
// kConsoleBusyKey.
Reply BusyReply();

// Work for the main loop: the console's state, and the loop itself (to end it).
using ConsoleTask = std::function<void(ConsoleApp& app, MainLoop& loop)>;
// Runs a task on the main loop and waits for it; false when it did not run, because the loop
// did not start it within the bound of a request or has ended.
using PostTask = std::function<bool(ConsoleTask task)>;
// The console's PostTask: `app` on `loop`.
PostTask PostToLoop(MainLoop& loop, ConsoleApp& app);

// A request past the checks of the web server.
struct RouteRequest {
  std::string method;  // GET, HEAD or POST
  std::string path;
  // The whole decoded value of a query field (also past a "%00"); nullopt when absent.
  std::function<std::optional<std::string>(const char* name)> query;
  std::string body;  // POST only
};

// What a handler works with besides the request; fixed while the server runs.
struct RouteContext {
  const std::string& programDir;
  const PostTask& post;
};

struct Route {
  const char* method;  // "GET" (answers HEAD too) or "POST"
  const char* path;
  Reply (*handler)(const RouteContext& context, RouteRequest& request);
};
std::span<const Route> Routes();

// A data or action route: it needs the token, and no other site may start it. Every route
// of the table is one; the page's files are not.
bool NeedsToken(const std::string& path);

// The answer to a request: its route, else a file of the page (GET and HEAD), else Not
// found.
Reply AnswerRequest(const RouteContext& context, RouteRequest& request);

struct Action {
  const char* name;
  nlohmann::json (*run)(ConsoleApp& app, const nlohmann::json& body, bool* quit);
};
std::span<const Action> Actions();

// The table's action `name`, run; {"ok": false} for a name it does not hold. Act (api.h)
// wraps it with the refusals every action shares.
nlohmann::json RunAction(ConsoleApp& app, const std::string& name, const nlohmann::json& body,
                         bool* quit);

}  // namespace console
