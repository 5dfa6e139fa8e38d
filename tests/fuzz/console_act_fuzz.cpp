// The console's JSON handlers on fuzzed request bodies. Each line of the input is one body
// of POST /api/act, parsed and checked as the web server does, handed to Act on a console
// over a temporary program folder with a few accounts, and answered as JSON. The rows and
// pane routes are read with the numbers the body carries, clamped as the query is.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/account_key.h"
#include "common/accounts.h"
#include "common/file_ops.h"
#include "common/layout.h"
#include "common/record_texts.h"
#include "common/status_update.h"
#include "console/api.h"
#include "console/console_app.h"
#include "fuzz_check.h"
#include "fuzz_temp.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "varnindex/VarnIndex.h"

namespace {

constexpr size_t kMaxBodies = 16;

void AddAccount(const std::string& dir, const char* name, const char* host,
                common::StatusFolder folder, int failCount) {
  common::AccountFile a;
  const std::string key = common::HexKey(name);
  common::SetField(a.record.key, key);
  common::SetField(a.record.host, host);
  a.record.pingOn = folder == common::StatusFolder::kPing;
  a.record.enabled = 1;
  common::WriteAccount(common::AccountPath(dir, key), a);
  common::CheckStatus s = common::NewCheckStatus(platform::LocalNow());
  s.failCount = failCount;
  common::WriteWholeFile(common::StatusPath(dir, folder, key), &s, sizeof s);
  AddDelDat(1, common::ListViewDir(dir).c_str(), common::IndexLine(key, folder, host).c_str());
}

console::ConsoleApp& TheConsole() {
  static console::ConsoleApp* app = [] {
    const std::string& dir = fuzzpeer::FuzzTempDir("console");
    AddAccount(dir, "web server", "127.0.0.1", common::StatusFolder::kPing, 0);
    AddAccount(dir, "mail relay", "127.0.0.2", common::StatusFolder::kSmtpPort, 2);
    AddAccount(dir, "\x93\xfa\x96\x7b", "127.0.0.3", common::StatusFolder::kHttpPage, 1);
    auto* a = new console::ConsoleApp(
        dir, "/nonexistent", [](const std::string&, const std::vector<std::string>&) {
          return true;  // no agent is started
        });
    a->StartUp();
    return a;
  }();
  return *app;
}

int Clamped(const nlohmann::json& body, const char* key, int fallback, int low, int high) {
  auto it = body.find(key);
  if (it == body.end() || !it->is_number_integer()) return fallback;
  const int64_t v = it->get<int64_t>();
  return static_cast<int>(std::clamp<int64_t>(v, low, high));
}

// One body of POST /api/act, as the web server takes it; false for a 400 answer.
bool Handle(console::ConsoleApp& app, const std::string& text, nlohmann::json* last) {
  nlohmann::json body = nlohmann::json::parse(text, nullptr, false);
  if (body.is_discarded() || !body.is_object() || !body.contains("action") ||
      !body["action"].is_string()) {
    return false;
  }
  const std::string action = body["action"].get<std::string>();
  // The web server hands a copy of the body to the main loop.
  nlohmann::json copy = body;
  // The export writes where it is told: the fuzzer's may only land in the program directory.
  if (action == "export" && copy.contains("path")) copy["path"] = "export.csv";
  bool quit = false;
  const nlohmann::json answer = console::Act(app, action, copy, &quit);
  FUZZ_CHECK(answer.is_object() && answer.contains("ok"));
  answer.dump();
  *last = std::move(body);
  return true;
}

// Today's logs start empty for every input: the pane reads them again when they shrink,
// and an input's outcome should not hang on what earlier inputs logged.
void EmptyLogs(const std::string& dir) {
  for (const std::string& folder : {common::InDir(dir, "Log"), common::InDir(dir, "Log/Disp")}) {
    for (const std::string& name : platform::ListFiles(folder)) {
      platform::TruncateFile(platform::JoinPath(folder, name), 0);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  console::ConsoleApp& app = TheConsole();
  EmptyLogs(app.programDir());
  const std::string input(reinterpret_cast<const char*>(data), size);
  nlohmann::json last = nlohmann::json::object();
  size_t start = 0;
  for (size_t n = 0; n < kMaxBodies && start <= input.size(); ++n) {
    size_t end = input.find('\n', start);
    if (end == std::string::npos) end = input.size();
    Handle(app, input.substr(start, end - start), &last);
    start = end + 1;
  }
  // What the page reads next, with the numbers of the last body clamped as the query is.
  const int first = Clamped(last, "first", 0, 0, 1 << 20);
  const int count = Clamped(last, "count", 40, 0, 500);
  console::RowsJson(app, first, count).dump();
  console::PaneJson(app, first, count).dump();
  console::StateJson(app).dump();
  return 0;
}
