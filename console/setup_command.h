// KTVarnock --setup FILE: writing a working setup into a program directory without the
// dialogs (the demo's --init-demo uses it too). Everything goes through the shared record and
// registration routines, so the files are exactly those the dialogs write.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace console {

// Applies a description like
//   {"mailServer": "127.0.0.1", "to": "admin@localhost", "interval": 1, "sound": 1,
//    "accounts": [{"name": "loopback", "domain": "127.0.0.1", "ping": true,
//                  "custom": true, "customRows": [{"name": "console", "port": 8650}]},
//                 {"name": "files", "domain": "127.0.0.1", "type": 2, "ftpUser": "u",
//                  "ftpPassword": "p", "timeout": 30}]}
// Settings keys that are absent are left as they are. An account takes the keys the account
// dialogs send (account_fields.h; "type" 0 server, 1 HTTP page, 2 FTP transfer, 3 e-mail),
// flags also as numbers 0-255, plus "timeout" (the FTP round trip's seconds). A key left out
// reads as in a new account's dialog, except that "ping" and "defaultDest" are off; the
// account keeps no templates of its own unless "mailTemplates"/"onlineTemplates" give them.
// Older spellings still read: "host" for "domain", "custom": [["console", 8650], ...] for
// "customRows", "type": "ftp" or "server" for the numbers.
// An account the dialogs' rules refuse (see account_rules.h), a text that does not fit its
// field, a number out of its range, or a control byte in a host or in "to" ends the setup
// with an error text naming it; "" when done.
std::string ApplySetup(const std::string& programDir, const nlohmann::json& setup);

// The demo's setup: a mail server on 127.0.0.1, intervals of 1 minute, and accounts that
// watch this machine (a ping of 127.0.0.1, the console's own port, a demo listener port).
nlohmann::json DemoSetup(int consolePort, int listenerPort);

}  // namespace console
