#include "agents/framework/alert_queue.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>

#include "common/layout.h"
#include "platform/files.h"

namespace agents {
namespace {

constexpr const char* kMagic = "VarnAlert1\n";
constexpr const char* kSuffix = ".alert";

bool IsAlertName(const std::string& name) {
  const size_t n = std::char_traits<char>::length(kSuffix);
  return !name.empty() && name[0] != '.' && name.size() > n &&
         name.compare(name.size() - n, n, kSuffix) == 0;
}

void AddField(std::string& out, const char* name, const std::string& value) {
  out += name;
  out += '=';
  out += std::to_string(value.size());
  out += ':';
  out += value;
  out += '\n';
}

bool ParseInt(const std::string& text, int64_t low, int64_t high, int64_t* out) {
  if (text.empty() || text.size() > 19) return false;
  size_t i = 0;
  bool negative = text[0] == '-';
  if (negative) i = 1;
  if (i == text.size()) return false;
  int64_t value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    if (value > (INT64_MAX - 9) / 10) return false;
    value = value * 10 + (text[i] - '0');
  }
  if (negative) value = -value;
  if (value < low || value > high) return false;
  *out = value;
  return true;
}

}  // namespace

std::string AlertQueueDir(const std::string& programDir) {
  return common::InDir(programDir, common::kTemp, kAlertQueueDir);
}

std::string AlertHeldDir(const std::string& programDir) {
  return platform::JoinPath(AlertQueueDir(programDir), kAlertHeldDir);
}

std::string EncodeQueuedAlert(const QueuedAlert& a) {
  std::string out = kMagic;
  AddField(out, "kind", a.kind == AlertKind::kDown ? "down" : "up");
  AddField(out, "key", a.key);
  AddField(out, "folder", std::to_string(a.folder));
  AddField(out, "slot", std::to_string(a.slot));
  AddField(out, "tag", a.tagName);
  AddField(out, "uptag", a.upMailTag);
  AddField(out, "type", a.checkType);
  AddField(out, "time", a.checkTime);
  AddField(out, "message", a.message);
  AddField(out, "queued", std::to_string(a.queuedAt));
  AddField(out, "released", a.released ? "1" : "0");
  return out;
}

std::optional<QueuedAlert> DecodeQueuedAlert(const std::string& text) {
  const std::string magic = kMagic;
  if (text.size() > kMaxQueuedAlertBytes || text.compare(0, magic.size(), magic) != 0)
    return std::nullopt;
  QueuedAlert a;
  bool kind = false, key = false, folder = false;
  size_t pos = magic.size();
  while (pos < text.size()) {
    const size_t eq = text.find('=', pos);
    if (eq == std::string::npos || eq - pos > 16) return std::nullopt;
    const std::string name = text.substr(pos, eq - pos);
    const size_t colon = text.find(':', eq + 1);
    if (colon == std::string::npos) return std::nullopt;
    int64_t length = 0;
    if (!ParseInt(text.substr(eq + 1, colon - eq - 1), 0,
                  static_cast<int64_t>(kMaxQueuedAlertBytes), &length))
      return std::nullopt;
    const size_t start = colon + 1;
    if (start + static_cast<size_t>(length) >= text.size() ||
        text[start + static_cast<size_t>(length)] != '\n')
      return std::nullopt;
    const std::string value = text.substr(start, static_cast<size_t>(length));
    pos = start + static_cast<size_t>(length) + 1;
    int64_t number = 0;
    if (name == "kind") {
      if (value != "down" && value != "up") return std::nullopt;
      a.kind = value == "down" ? AlertKind::kDown : AlertKind::kUp;
      kind = true;
    } else if (name == "key") {
      if (value.empty() || value.size() > 64 || value.find('/') != std::string::npos ||
          value[0] == '.')
        return std::nullopt;
      a.key = value;
      key = true;
    } else if (name == "folder") {
      if (!ParseInt(value, 0, static_cast<int64_t>(common::kStatusFolderNames.size()) - 1, &number))
        return std::nullopt;
      a.folder = static_cast<int>(number);
      folder = true;
    } else if (name == "slot") {
      if (!ParseInt(value, -1, 4, &number)) return std::nullopt;
      a.slot = static_cast<int>(number);
    } else if (name == "tag") {
      a.tagName = value;
    } else if (name == "uptag") {
      a.upMailTag = value;
    } else if (name == "type") {
      a.checkType = value;
    } else if (name == "time") {
      a.checkTime = value;
    } else if (name == "message") {
      a.message = value;
    } else if (name == "queued") {
      if (!ParseInt(value, 0, INT64_MAX / 2, &number)) return std::nullopt;
      a.queuedAt = number;
    } else if (name == "released") {
      a.released = value == "1";
    }
  }
  if (!kind || !key || !folder) return std::nullopt;
  return a;
}

std::string WriteQueuedAlert(const std::string& dir, const QueuedAlert& alert) {
  static std::atomic<unsigned> sequence{0};
  if (!platform::MakeDirs(dir, 0700) && !platform::IsDirectory(dir)) return "";
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
  char name[96];
  std::snprintf(name, sizeof name, "%015lld-%08ld-%06u%s", static_cast<long long>(ms),
                static_cast<long>(::getpid()), sequence.fetch_add(1) % 1000000u, kSuffix);
  const std::string path = platform::JoinPath(dir, name);
  // WriteFileAtomic writes a "."-named temporary file and renames it over the target.
  if (!platform::WriteFileAtomic(path, EncodeQueuedAlert(alert), 0600)) return "";
  return name;
}

std::vector<QueuedAlert> ReadQueuedAlerts(const std::string& dir, std::vector<std::string>* bad) {
  std::vector<std::string> names;
  for (std::string& name : platform::ListFiles(dir))
    if (IsAlertName(name)) names.push_back(std::move(name));
  std::sort(names.begin(), names.end());
  std::vector<QueuedAlert> out;
  for (const std::string& name : names) {
    const std::string path = platform::JoinPath(dir, name);
    std::optional<std::string> text = platform::ReadWholeFile(path, kMaxQueuedAlertBytes + 1);
    if (!text) continue;  // taken away meanwhile
    std::optional<QueuedAlert> alert = DecodeQueuedAlert(*text);
    if (!alert) {
      platform::RenamePath(path, path + ".bad");
      if (bad) bad->push_back(name);
      continue;
    }
    alert->file = name;
    out.push_back(std::move(*alert));
  }
  return out;
}

bool AnyQueuedAlert(const std::string& dir) {
  for (const std::string& name : platform::ListFiles(dir))
    if (IsAlertName(name)) return true;
  return false;
}

int64_t WallSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace agents
