#include "console/web_server.h"

#include <httplib.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "common/file_ops.h"
#include "common/layout.h"
#include "console/api.h"
#include "console/resources.h"
#include "console/setup_form.h"
#include "console/web_security.h"
#include "platform/codepage.h"
#include "platform/files.h"

namespace console {
namespace {

constexpr const char* kCookie = "varn_token";
constexpr const char* kTokenHeader = "X-Varn-Token";
constexpr const char* kPolicy = "default-src 'self'; frame-ancestors 'none'";

void Refuse(httplib::Response& res, int status = 403) {
  res.status = status;
  res.set_content("Forbidden\n", "text/plain; charset=utf-8");
}

void SendJson(httplib::Response& res, const nlohmann::json& body) {
  res.set_header("Cache-Control", "no-store");
  res.set_content(body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace),
                  "application/json; charset=utf-8");
}

int QueryInt(const httplib::Request& req, const char* name, int fallback, int lo, int hi) {
  if (!req.has_param(name)) return fallback;
  try {
    return std::clamp(std::stoi(req.get_param_value(name)), lo, hi);
  } catch (...) {
    return fallback;
  }
}

}  // namespace

WebServer::WebServer(MainLoop& loop, ConsoleApp& app, std::string token)
    : loop_(loop),
      app_(app),
      token_(std::move(token)),
      server_(std::make_unique<httplib::Server>()) {
  // A port in use is an error, never shared: the library's default also sets SO_REUSEPORT,
  // with which a second console on the same port would take half of the first one's
  // connections.
  // Answers go out at once: with Nagle's rule a kept-alive request waited for the browser's
  // delayed acknowledgement between the head and the body of each answer (about 40 ms).
  // Accepted connections inherit the option from the listening socket.
  server_->set_socket_options([](socket_t sock) {
    int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
  });
  server_->set_tcp_nodelay(true);
  Routes();
}

WebServer::~WebServer() = default;

bool WebServer::Bind(const std::string& host, int port) {
  host_ = host;
  if (port == 0) {
    port_ = server_->bind_to_any_port(host);
    return port_ > 0;
  }
  if (!server_->bind_to_port(host, port)) return false;
  port_ = port;
  return true;
}

std::string WebServer::Address() const {
  std::string host = host_.find(':') != std::string::npos ? "[" + host_ + "]" : host_;
  return "http://" + host + ":" + std::to_string(port_) + "/?token=" + token_;
}

void WebServer::Serve() {
  server_->listen_after_bind();
}
void WebServer::Stop() {
  server_->stop();
}

void WebServer::Routes() {
  httplib::Server& s = *server_;
  s.set_default_headers({{"Content-Security-Policy", kPolicy},
                         {"X-Content-Type-Options", "nosniff"},
                         {"Referrer-Policy", "no-referrer"}});
  // Wave uploads may be 10 MB; every other request is held to 64 KB below.
  s.set_payload_max_length(kMaxWaveBytes + 1);

  // Every request: the right Host, a request not started by another site, and the token
  // (the first page load may bring it in the query instead of the cookie).
  s.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    if (!HostAllowed(req.get_header_value("Host"), host_, port_) ||
        !FetchSiteAllowed(req.get_header_value("Sec-Fetch-Site"))) {
      Refuse(res);
      return httplib::Server::HandlerResponse::Handled;
    }
    const bool cookieOk = SameToken(CookieValue(req.get_header_value("Cookie"), kCookie), token_);
    if (req.method == "GET") {
      if (cookieOk) return httplib::Server::HandlerResponse::Unhandled;
      if (req.path == "/" && req.has_param("token") &&
          SameToken(req.get_param_value("token"), token_)) {
        res.set_header("Set-Cookie",
                       std::string(kCookie) + "=" + token_ + "; HttpOnly; SameSite=Strict; Path=/");
        return httplib::Server::HandlerResponse::Unhandled;
      }
      Refuse(res);
      return httplib::Server::HandlerResponse::Handled;
    }
    if (req.method == "POST" && cookieOk && SameToken(req.get_header_value(kTokenHeader), token_) &&
        OriginAllowed(req.get_header_value("Origin"), req.get_header_value("Host"))) {
      return httplib::Server::HandlerResponse::Unhandled;
    }
    Refuse(res);
    return httplib::Server::HandlerResponse::Handled;
  });

  auto page = [](const httplib::Request& req, httplib::Response& res) {
    std::string path = req.path == "/" ? "/index.html" : req.path;
    const Resource* r = FindResource(path);
    if (r == nullptr) {
      res.status = 404;
      res.set_content("Not found\n", "text/plain; charset=utf-8");
      return;
    }
    res.set_header("Cache-Control", "no-cache");
    res.set_content(reinterpret_cast<const char*>(r->data), r->size, ContentTypeOf(path));
  };
  s.Get("/", page);
  for (const Resource& r : Resources()) s.Get(r.path, page);

  s.Get("/api/state", [this](const httplib::Request&, httplib::Response& res) {
    auto body = loop_.Call([this] { return StateJson(app_); });
    if (!body) return Refuse(res, 503);
    (*body)["csrf"] = token_;
    SendJson(res, *body);
  });
  s.Get("/api/rows", [this](const httplib::Request& req, httplib::Response& res) {
    int first = QueryInt(req, "first", 0, 0, 1 << 20);
    int count = QueryInt(req, "count", 40, 0, 500);
    auto body = loop_.Call([this, first, count] { return RowsJson(app_, first, count); });
    if (!body) return Refuse(res, 503);
    SendJson(res, *body);
  });
  s.Get("/api/pane", [this](const httplib::Request& req, httplib::Response& res) {
    int first = QueryInt(req, "first", 0, 0, 1 << 20);
    int count = QueryInt(req, "count", 40, 0, 500);
    auto body = loop_.Call([this, first, count] { return PaneJson(app_, first, count); });
    if (!body) return Refuse(res, 503);
    SendJson(res, *body);
  });
  s.Get("/api/wave", [this](const httplib::Request& req, httplib::Response& res) {
    // "name": a file just uploaded for the Sound Test of Setup (UTF-8, CP932 on disk).
    std::optional<std::string> asked;
    if (req.has_param("name")) asked = platform::Utf8ToCp932(req.get_param_value("name"));
    auto name = asked ? std::optional<std::string>(*asked) : loop_.Call([this] {
      return common::FieldText(app_.settings().alert.settings.waveFile);
    });
    // The file is named relative to the Wave folder; nothing may climb out of it.
    if (!name || name->empty() || name->find('/') != std::string::npos || (*name)[0] == '.' ||
        name->find("..") != std::string::npos) {
      res.status = 404;
      return;
    }
    auto data = platform::ReadWholeFile(common::InDir(app_.programDir(), "Wave", *name), 16u << 20);
    if (!data) {
      res.status = 404;
      return;
    }
    res.set_content(*data, "audio/wav");
  });
  // A raw upload: /api/upload?kind=wave&name=... with the file as the body (the server
  // refuses bodies beyond 10 MB + 1 byte; StoreWave refuses the last byte).
  s.Post("/api/upload", [this](const httplib::Request& req, httplib::Response& res) {
    const std::string kind = req.get_param_value("kind");
    const std::string name = req.get_param_value("name");
    auto answer =
        loop_.Call([this, kind, name, &req] { return Upload(app_, kind, name, req.body); });
    if (!answer) return Refuse(res, 503);
    SendJson(res, *answer);
  });
  s.Post("/api/act", [this](const httplib::Request& req, httplib::Response& res) {
    if (req.body.size() > 64 * 1024) return Refuse(res, 413);
    nlohmann::json body = nlohmann::json::parse(req.body, nullptr, false);
    if (body.is_discarded() || !body.is_object() || !body.contains("action") ||
        !body["action"].is_string()) {
      res.status = 400;
      SendJson(res, {{"ok", false}, {"error", "bad request"}});
      return;
    }
    const std::string action = body["action"].get<std::string>();
    auto answer = loop_.Call([this, action, body] {
      bool quit = false;
      nlohmann::json a = Act(app_, action, body, &quit);
      if (quit) loop_.Quit();
      return a;
    });
    if (!answer) return Refuse(res, 503);
    SendJson(res, *answer);
  });
}

}  // namespace console
