// Writing a working setup into a program directory without the dialogs: for the demo and
// for tests. Everything goes through the shared record and registration routines, so the
// files are exactly those the dialogs write.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace console {

// Applies a description like
//   {"mailServer": "127.0.0.1", "to": "admin@localhost", "interval": 1, "sound": 1,
//    "accounts": [{"name": "loopback", "host": "127.0.0.1", "ping": true,
//                  "http": false, "ftp": false, "smtp": false, "pop": false,
//                  "custom": [["console", 8650]], "enabled": true},
//                 {"name": "files", "host": "127.0.0.1", "type": "ftp", "ftpUser": "u",
//                  "ftpPassword": "p", "timeout": 30}]}
// Settings keys that are absent are left as they are. An account the dialogs would refuse
// (see account_rules.h), a number out of its range, or a control byte in a host or in "to"
// ends the setup with an error text naming it; "" when done.
std::string ApplySetup(const std::string& programDir, const nlohmann::json& setup);

// The demo's setup: a mail server on 127.0.0.1, intervals of 1 minute, and accounts that
// watch this machine (a ping of 127.0.0.1, the console's own port, a demo listener port).
nlohmann::json DemoSetup(int consolePort, int listenerPort);

}  // namespace console
