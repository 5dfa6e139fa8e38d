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

// An upload of the page (raw body, at most 10 MB for a wave file, 50 MB for an import).
// kind "wave": a sound file for the local alarm (see StoreWave); the answer carries "ok"
// and, on success, the stored "name", else the refusal's "message". kind "import": an
// account list (CSV) to import; the answer carries the import's "serial" and line "total",
// and the page follows its progress in the state's "import".
nlohmann::json Upload(ConsoleApp& app, const std::string& kind, const std::string& name,
                      std::string body);

}  // namespace console
