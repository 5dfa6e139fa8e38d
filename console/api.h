// What the page reads and sends, as JSON. Texts of the files are CP932 and become UTF-8
// here, at the HTTP boundary, and nowhere else. Every function runs on the main loop.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "console/console_app.h"

namespace console {

// CP932 text as UTF-8; bytes that are not valid CP932 show as U+FFFD.
std::string ToUtf8(const std::string& cp932);

nlohmann::json StateJson(ConsoleApp& app);
nlohmann::json RowsJson(ConsoleApp& app, int first, int count);
nlohmann::json PaneJson(ConsoleApp& app, int first, int count);

// A request of the page ({"action": ..., ...}); the answer carries "ok" and, for some
// actions, more. `quit` is set when the console is to end.
nlohmann::json Act(ConsoleApp& app, const std::string& action, const nlohmann::json& body,
                   bool* quit);

// A file the page uploads (`kind` "wave": a wave file; "import": an import file) under
// `name`; the answer carries "ok" and, on failure, "message".
nlohmann::json Upload(ConsoleApp& app, const std::string& kind, const std::string& name,
                      std::string body);

}  // namespace console
