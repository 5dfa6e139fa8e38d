// The alert queue: when alerts are held or grouped, the agents do not send them
// themselves but hand each one to a folder, "<program dir>/temp/alertqueue/", which one
// process, AlertDesk, drains (see alert_desk.h). One file per alert, written under a name
// starting with "." and renamed into place, so the desk never reads half an alert and
// agents of different groups never overwrite one another's.
//
// File layout (text, every field named and length-counted, so a message may hold any
// byte):
//   "VarnAlert1\n"
//   then per field "<name>=<decimal length>:<bytes>\n", in any order; unknown names are
//   skipped. Names: kind ("down", "up"), key, folder (status folder index), slot (custom
//   slot or -1), tag, uptag, type, time, message, queued (Unix seconds), released (0, 1).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "agents/framework/alert_dispatch.h"

namespace agents {

inline constexpr const char* kAlertQueueDir = "alertqueue";
// Alerts held behind a parent account that is down.
inline constexpr const char* kAlertHeldDir = "held";
// The recent state changes of checks, while the flapping watch is on.
inline constexpr const char* kFlapDirName = "flap";
// A queued alert file is at most this large; a larger one is not an alert.
inline constexpr size_t kMaxQueuedAlertBytes = 64 * 1024;

struct QueuedAlert {
  std::string file;  // name in its folder, set when read
  AlertKind kind = AlertKind::kDown;
  std::string key;  // the account key
  int folder = 0;   // common::StatusFolder of the check
  int slot = -1;    // custom port slot, -1 for any other check
  std::string tagName;
  std::string upMailTag;
  std::string checkType;
  std::string checkTime;
  std::string message;
  int64_t queuedAt = 0;
  // Let go after being held behind its parent: not held a second time.
  bool released = false;
};

std::string AlertQueueDir(const std::string& programDir);
std::string AlertHeldDir(const std::string& programDir);

std::string EncodeQueuedAlert(const QueuedAlert& alert);
// Nothing for text that is not a whole alert of this layout.
std::optional<QueuedAlert> DecodeQueuedAlert(const std::string& text);

// Writes the alert into `dir` under a new unique name; the name, or "" when it could not
// be written (nothing is left behind then).
std::string WriteQueuedAlert(const std::string& dir, const QueuedAlert& alert);

// The alerts of `dir` in the order they were queued (their names sort by time). A file
// that does not decode is moved aside as "<name>.bad" and reported in `bad`.
std::vector<QueuedAlert> ReadQueuedAlerts(const std::string& dir,
                                          std::vector<std::string>* bad = nullptr);

// True when `dir` holds at least one queued alert.
bool AnyQueuedAlert(const std::string& dir);

// Unix seconds now.
int64_t WallSeconds();

}  // namespace agents
