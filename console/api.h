// What the page reads and sends, as JSON. Texts of the files are CP932 and become UTF-8
// here (text_convert.h), at the HTTP boundary, and nowhere else. Every function runs on the
// main loop.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "console/console_app.h"

namespace console {

nlohmann::json StateJson(ConsoleApp& app);
nlohmann::json RowsJson(ConsoleApp& app, int first, int count);
nlohmann::json PaneJson(ConsoleApp& app, int first, int count);

// A request of the page ({"action": ..., ...}); the answer carries "ok" and, for some
// actions, more. `quit` is set when the console is to end. An unknown action answers
// {"ok": false}; a lock that another process held past the console's bound answers the
// refusal "msgFilesBusy", whatever the action did.
// `messageKey`, when given, is set to that refusal's key ("msgFilesBusy") for the answer's
// header.
nlohmann::json Act(ConsoleApp& app, const std::string& action, const nlohmann::json& body,
                   bool* quit, std::string* messageKey = nullptr);

// The handlers of the actions; routes.cpp names each in its table of actions.
namespace actions {
using nlohmann::json;
json Command(ConsoleApp& app, const json& body, bool* quit);
json Sort(ConsoleApp& app, const json& body, bool* quit);
json Drag(ConsoleApp& app, const json& body, bool* quit);
json Layout(ConsoleApp& app, const json& body, bool* quit);
json Toggle(ConsoleApp& app, const json& body, bool* quit);
json Open(ConsoleApp& app, const json& body, bool* quit);
json AccountNew(ConsoleApp& app, const json& body, bool* quit);
json AccountLoad(ConsoleApp& app, const json& body, bool* quit);
json AccountSave(ConsoleApp& app, const json& body, bool* quit);
json CustomCheck(ConsoleApp& app, const json& body, bool* quit);
json AccountDelete(ConsoleApp& app, const json& body, bool* quit);
json AccountsList(ConsoleApp& app, const json& body, bool* quit);
json SetupLoad(ConsoleApp& app, const json& body, bool* quit);
json SetupSave(ConsoleApp& app, const json& body, bool* quit);
json TemplatesSave(ConsoleApp& app, const json& body, bool* quit);
json Window(ConsoleApp& app, const json& body, bool* quit);
json Language(ConsoleApp& app, const json& body, bool* quit);
json LogsList(ConsoleApp& app, const json& body, bool* quit);
json LogView(ConsoleApp& app, const json& body, bool* quit);
json LogDelete(ConsoleApp& app, const json& body, bool* quit);
json Export(ConsoleApp& app, const json& body, bool* quit);
json ImportPath(ConsoleApp& app, const json& body, bool* quit);
json PageFacts(ConsoleApp& app, const json& body, bool* quit);
json FirstPrompt(ConsoleApp& app, const json& body, bool* quit);
json MaintenanceList(ConsoleApp& app, const json& body, bool* quit);
json MaintenanceAdd(ConsoleApp& app, const json& body, bool* quit);
json MaintenanceDelete(ConsoleApp& app, const json& body, bool* quit);
}  // namespace actions

// An upload of the page (raw body, at most 10 MB for a wave file, 50 MB for an import).
// kind "wave": a sound file for the local alarm (see StoreWave); the answer carries "ok"
// and, on success, the stored "name", else the refusal's "message". kind "import": an
// account list (CSV) to import; the answer carries the import's "serial" and line "total",
// and the page follows its progress in the state's "import".
nlohmann::json Upload(ConsoleApp& app, const std::string& kind, const std::string& name,
                      std::string body);

}  // namespace console
