#include "agents/framework/alert_desk.h"

#include <algorithm>
#include <set>
#include <vector>

#include "agents/framework/agent_log.h"
#include "agents/framework/agent_profiles.h"
#include "agents/framework/agent_run.h"
#include "agents/framework/alert_dispatch.h"
#include "agents/framework/alert_queue.h"
#include "agents/framework/alert_text.h"
#include "common/account_key.h"
#include "common/account_options.h"
#include "common/daily_log.h"
#include "common/file_ops.h"
#include "common/layout.h"
#include "common/record_texts.h"
#include "common/status_update.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/ini.h"
#include "platform/lock.h"
#include "platform/process.h"

namespace agents {
namespace {

constexpr const char* kDeskProgram = "AlertDesk";

long Setting(const std::string& dir, const char* key, long low, long high, long fallback) {
  const long value = platform::IniGetInt(common::IniPath(dir), common::kIniSection, key, fallback);
  return value < low || value > high ? fallback : value;
}

const AgentProfile& ProfileOfFolder(int folder) {
  switch (static_cast<common::StatusFolder>(folder)) {
    case common::StatusFolder::kPing:
      return kEchoProfile;
    case common::StatusFolder::kHttpPort:
      return kWebPortProfile;
    case common::StatusFolder::kHttpPage:
      return kPageProfile;
    case common::StatusFolder::kFtpPort:
      return kFilePortProfile;
    case common::StatusFolder::kFtpTransfer:
      return kXferProfile;
    case common::StatusFolder::kPopPort:
      return kMailInProfile;
    case common::StatusFolder::kCustom:
      return kAnyPortProfile;
    default:
      return kMailOutProfile;
  }
}

CheckState StateOfBlock(const common::CheckStatus& s) {
  if (s.failCount >= 2 && s.errorDetected[0] != '\0') return CheckState::kDown;
  if (s.failCount >= 1) return CheckState::kFailing;
  return CheckState::kUp;
}

std::string NameOf(const std::string& key) {
  return common::DecodeKey(key.substr(0, 64));
}

AgentProfile WithTags(const AgentProfile& base, const char* tag, const char* upTag) {
  AgentProfile profile = base;
  profile.alertTagName = tag;
  profile.upMailTag = upTag;
  return profile;
}

// The context an alert of the desk is sent in: the words of the agent that raised it.
struct SendContext {
  AgentProfile profile;
  RunContext run;
  SendContext(const std::string& dir, const MailServerProbes& probes, const AgentProfile& base,
              const char* tag, const char* upTag)
      : profile(WithTags(base, tag, upTag)), run(profile, dir, 1) {
    run.probes = probes;
    PrepareRun(run);
    run.queueAlerts = false;
  }
};

void Log(const std::string& dir, const std::string& tag, const std::string& detail) {
  WriteFrameworkLine(dir, kAlertRecordCode, tag, detail);
}

std::string KindWord(AlertKind kind) {
  return kind == AlertKind::kDown ? "Down" : "Up";
}

// Takes the alert out of the queue before it is sent: a file that cannot be claimed is
// left for the next pass rather than sent and then sent again.
bool Claim(const std::string& dir, const QueuedAlert& a, std::string* claimed) {
  const std::string from = platform::JoinPath(dir, a.file);
  *claimed = platform::JoinPath(dir, ".sending-" + a.file);
  return platform::RenamePath(from, *claimed);
}

// The children behind `parentKey` that are not up, readably named with their hosts.
std::string ChildrenBehind(const std::string& dir,
                           const std::map<std::string, std::string>& parents,
                           const std::string& parentKey) {
  std::vector<std::string> lines;
  for (const auto& [child, parent] : parents) {
    if (child == parentKey || common::HexKey(parent) != parentKey) continue;
    if (AccountState(dir, child) == CheckState::kUp) continue;
    bool whole = false;
    common::AccountFile account = common::ReadAccount(common::AccountPath(dir, child), &whole);
    if (!whole) continue;
    lines.push_back(NameOf(child) + " (" + common::FieldText(account.record.host) + ")");
  }
  if (lines.empty()) return "";
  std::sort(lines.begin(), lines.end());
  std::string out = "\r\n\r\nDown behind it (" + std::to_string(lines.size()) + "):\r\n";
  for (const std::string& line : lines) out += "  " + line + "\r\n";
  return out;
}

void SendOne(const std::string& dir, const MailServerProbes& probes, const QueuedAlert& a,
             const std::string& appendix) {
  SendContext context(dir, probes, ProfileOfFolder(a.folder), a.tagName.c_str(),
                      a.upMailTag.c_str());
  bool whole = false;
  common::AccountFile account = common::ReadAccount(common::AccountPath(dir, a.key), &whole);
  if (!whole) {
    WriteFrameworkLine(dir, kMailNotSentCode,
                       "[" + KindWord(a.kind) + " Mail Not Sent: " + a.tagName + "]",
                       "the account is gone: " + NameOf(a.key));
    return;
  }
  SendAlertNow(context.run, account,
               Alert{a.kind, a.message, a.checkTime, a.checkType, a.slot, appendix});
}

void AddUnique(std::vector<std::string>& to, std::set<std::string>& seen, const std::string& item) {
  if (!item.empty() && seen.insert(item).second) to.push_back(item);
}

std::string ShowTime(const std::string& stamp) {
  if (stamp.size() != 14) return stamp;
  return stamp.substr(0, 4) + "/" + stamp.substr(4, 2) + "/" + stamp.substr(6, 2) + " " +
         stamp.substr(8, 2) + ":" + stamp.substr(10, 2) + ":" + stamp.substr(12, 2);
}

// One mail and one LAN message per recipient for the whole batch, to everyone any of its
// alerts would have gone to; each alert logged as grouped.
void SendDigest(const std::string& dir, const MailServerProbes& probes,
                const std::vector<const QueuedAlert*>& batch, int seconds) {
  SendContext context(dir, probes, kEchoProfile, "Digest", "");
  const RunContext& run = context.run;
  std::vector<std::string> mailTo, lanTo;
  std::set<std::string> mailSeen, lanSeen;
  size_t downs = 0;
  std::string lines;
  for (const QueuedAlert* a : batch) {
    bool whole = false;
    common::AccountFile account = common::ReadAccount(common::AccountPath(dir, a->key), &whole);
    const common::AccountRecord& r = account.record;
    if (a->kind == AlertKind::kDown) ++downs;
    lines += KindWord(a->kind) + " | " + NameOf(a->key) + " | " +
             (whole ? common::FieldText(r.host) : std::string("(account gone)")) + " | " +
             a->checkType + " | " + ShowTime(a->checkTime) + " | " + a->message + "\r\n";
    if (!whole) continue;
    std::string to = MailRecipients(r.mailToGlobal != 0, run.alert.toAddresses,
                                    r.mailToAccount != 0, account.mailAddresses);
    size_t start = 0;
    while (start <= to.size()) {
      size_t comma = to.find(',', start);
      if (comma == std::string::npos) comma = to.size();
      AddUnique(mailTo, mailSeen, to.substr(start, comma - start));
      start = comma + 1;
    }
    if (r.onlineToGlobal != 0)
      for (const std::string& who : LanRecipients(run.alert.netSendAddresses))
        AddUnique(lanTo, lanSeen, who);
    if (r.onlineToAccount != 0)
      for (const std::string& who : LanRecipients(account.netSendAddresses))
        AddUnique(lanTo, lanSeen, who);
  }
  const std::string count = std::to_string(batch.size());
  const std::string summary = count + " alerts (" + std::to_string(downs) + " Down, " +
                              std::to_string(batch.size() - downs) + " Up)";
  const std::string body = summary + " within " + std::to_string(seconds) +
                           " seconds:\r\n\r\nAlert | Account | Host | Check | Time | Error\r\n" +
                           lines;
  if (!mailTo.empty()) {
    std::string to;
    for (const std::string& who : mailTo) to += (to.empty() ? "" : ",") + who;
    HandOverMail(run, to, "KT.Varnock: " + summary, body,
                 "[Digest Mail Sent: " + count + " alerts]",
                 "[Digest Mail Not Sent: " + count + " alerts]", summary);
  }
  if (!lanTo.empty()) {
    std::string list;
    for (const std::string& who : lanTo) list += who + "\r\n";
    SendLanText(run, list, "KT.Varnock: " + summary + "\r\n" + lines,
                "[Digest Message Not Sent: " + count + " alerts]");
    Log(dir, "[Digest Message Sent: " + count + " alerts]", list.substr(0, list.size() - 2));
  }
  for (const QueuedAlert* a : batch) {
    Log(dir, "[" + KindWord(a->kind) + " Alert Grouped: " + a->tagName + "]",
        NameOf(a->key) + " is in the digest of " + count + " alerts");
  }
}

}  // namespace

DeskSettings ReadDeskSettings(const std::string& dir) {
  DeskSettings s;
  s.groupCount = static_cast<int>(Setting(dir, "ALERTGROUPCOUNT", 1, 10000, 0));
  s.groupSeconds = static_cast<int>(Setting(dir, "ALERTGROUPSECONDS", 1, 3600, 60));
  s.flapChanges = static_cast<int>(Setting(dir, "FLAPCHANGES", 1, 1000, 0));
  s.flapMinutes = static_cast<int>(Setting(dir, "FLAPMINUTES", 1, 1440, 30));
  return s;
}

std::map<std::string, std::string> ReadParents(const std::string& dir) {
  std::map<std::string, std::string> parents;
  const std::string folder = common::InDir(dir, common::kAccountOptionsDir);
  for (const std::string& name : platform::ListFiles(folder)) {
    if (name.size() <= 4 || name.compare(name.size() - 4, 4, ".ini") != 0) continue;
    std::string parent = platform::IniGetString(platform::JoinPath(folder, name),
                                                common::kAccountOptionsSection, "PARENT", "");
    if (!parent.empty()) parents[name.substr(0, name.size() - 4)] = parent;
  }
  return parents;
}

bool AlertDeskWanted(const std::string& dir) {
  const DeskSettings s = ReadDeskSettings(dir);
  if (s.groupCount > 0 || s.flapChanges > 0) return true;
  return !ReadParents(dir).empty();
}

CheckState CheckStateOf(const std::string& dir, int folder, int slot, const std::string& key) {
  const auto f = static_cast<common::StatusFolder>(folder);
  const std::string path = common::StatusPath(dir, f, key);
  if (f == common::StatusFolder::kCustom) {
    common::CustomStatus s{};
    if (common::ReadStatusRecord(path, &s, sizeof s) != 1 || slot < 0 || slot > 4)
      return CheckState::kUp;
    return StateOfBlock(s.slots[slot]);
  }
  common::CheckStatus s{};
  if (common::ReadStatusRecord(path, &s, sizeof s) != 1) return CheckState::kUp;
  return StateOfBlock(s);
}

CheckState AccountState(const std::string& dir, const std::string& key) {
  CheckState worst = CheckState::kUp;
  for (size_t f = 0; f < common::kStatusFolderNames.size(); ++f) {
    const int slots = static_cast<common::StatusFolder>(f) == common::StatusFolder::kCustom ? 5 : 1;
    for (int k = 0; k < slots; ++k) {
      CheckState s = CheckStateOf(dir, static_cast<int>(f), slots == 1 ? -1 : k, key);
      if (s > worst) worst = s;
    }
  }
  return worst;
}

bool DeskPass(const std::string& dir, const MailServerProbes& probes, int64_t now) {
  const std::string queueDir = AlertQueueDir(dir);
  const std::string heldDir = AlertHeldDir(dir);
  const DeskSettings settings = ReadDeskSettings(dir);
  const std::map<std::string, std::string> parents = ReadParents(dir);
  bool pending = false;

  std::vector<std::string> bad;
  std::vector<QueuedAlert> queued = ReadQueuedAlerts(queueDir, &bad);
  std::vector<QueuedAlert> held = ReadQueuedAlerts(heldDir, &bad);
  for (const std::string& name : bad)
    WriteFrameworkLine(dir, kMailNotSentCode, "[Alert Not Sent]",
                       "the queued alert " + name + " cannot be read; kept as " + name + ".bad");

  // The parent an alert waits for, when it names one that exists (and is not itself).
  auto parentOf = [&](const std::string& key, std::string* parentKey) -> const std::string* {
    auto it = parents.find(key);
    if (it == parents.end()) return nullptr;
    *parentKey = common::HexKey(it->second);
    if (*parentKey == key || !platform::IsRegularFile(common::AccountPath(dir, *parentKey)))
      return nullptr;
    return &it->second;
  };

  std::vector<QueuedAlert> ready;
  for (QueuedAlert& a : queued) {
    std::string parentKey;
    const std::string* parent = a.released ? nullptr : parentOf(a.key, &parentKey);
    auto earlier = std::find_if(held.begin(), held.end(), [&](const QueuedAlert& h) {
      return h.kind == AlertKind::kDown && h.key == a.key && h.folder == a.folder &&
             h.slot == a.slot;
    });
    if (a.kind == AlertKind::kUp && earlier != held.end()) {
      // Down and back while its parent was down (the parent may be back already): neither
      // alert is sent.
      platform::RemoveFile(platform::JoinPath(heldDir, earlier->file));
      platform::RemoveFile(platform::JoinPath(queueDir, a.file));
      Log(dir, "[Up Alert Held: " + (parent ? *parent : std::string("parent")) + " was down]",
          NameOf(a.key) + " recovered behind its parent; neither alert is sent");
      held.erase(earlier);
      continue;
    }
    if (parent) {
      const CheckState state = AccountState(dir, parentKey);
      if (state == CheckState::kDown) {
        platform::MakeDirs(heldDir, 0700);
        if (platform::RenamePath(platform::JoinPath(queueDir, a.file),
                                 platform::JoinPath(heldDir, a.file))) {
          Log(dir, "[" + KindWord(a.kind) + " Alert Held: " + *parent + " is down]", NameOf(a.key));
          held.push_back(a);
        }
        pending = true;
        continue;
      }
      if (state == CheckState::kFailing && now - a.queuedAt < kParentWaitSeconds) {
        pending = true;
        continue;
      }
    }
    ready.push_back(std::move(a));
  }

  // Held alerts whose parent is back: a child still down gets its Down now, one that came
  // back meanwhile gets nothing.
  for (const QueuedAlert& h : held) {
    std::string parentKey;
    const std::string* parent = parentOf(h.key, &parentKey);
    const CheckState parentState = parent ? AccountState(dir, parentKey) : CheckState::kUp;
    if (parentState == CheckState::kDown ||
        (parentState == CheckState::kFailing && now - h.queuedAt < kParentWaitSeconds)) {
      pending = true;
      continue;
    }
    const std::string heldPath = platform::JoinPath(heldDir, h.file);
    const CheckState child = CheckStateOf(dir, h.folder, h.slot, h.key);
    const bool stillDue =
        h.kind == AlertKind::kDown ? child == CheckState::kDown : child == CheckState::kUp;
    if (!stillDue) {
      platform::RemoveFile(heldPath);
      Log(dir, "[" + KindWord(h.kind) + " Alert Dropped: " + h.tagName + "]",
          NameOf(h.key) + " changed state again while its parent was down");
      continue;
    }
    QueuedAlert released = h;
    released.released = true;
    released.queuedAt = now;
    const std::string name = WriteQueuedAlert(queueDir, released);
    if (name.empty()) {
      pending = true;  // stays held; tried again at the next pass
      continue;
    }
    platform::RemoveFile(heldPath);
    released.file = name;
    ready.push_back(std::move(released));
  }

  if (ready.empty()) return pending;

  if (settings.groupCount > 0) {
    int64_t first = ready.front().queuedAt;
    for (const QueuedAlert& a : ready) first = std::min(first, a.queuedAt);
    if (now < first + settings.groupSeconds) return true;  // the window is still open
  }

  // Claimed first: what cannot be claimed is left in the queue for the next pass.
  std::vector<const QueuedAlert*> batch;
  std::vector<std::string> claimed;
  for (const QueuedAlert& a : ready) {
    std::string path;
    if (!Claim(queueDir, a, &path)) {
      pending = true;
      continue;
    }
    batch.push_back(&a);
    claimed.push_back(path);
  }
  if (settings.groupCount > 0 && batch.size() > static_cast<size_t>(settings.groupCount)) {
    SendDigest(dir, probes, batch, settings.groupSeconds);
  } else {
    for (const QueuedAlert* a : batch) {
      const std::string appendix =
          a->kind == AlertKind::kDown ? ChildrenBehind(dir, parents, a->key) : "";
      SendOne(dir, probes, *a, appendix);
    }
  }
  for (const std::string& path : claimed) platform::RemoveFile(path);
  return pending;
}

void StartAlertDesk(const RunContext& run) {
  if (!run.alertsQueued) return;
  if (!platform::SpawnDetached(platform::JoinPath(run.binDir, kDeskProgram), {run.programDir})) {
    WriteFrameworkLine(run.programDir, kMailNotSentCode, "[Alert Desk Not Started]",
                       "the queued alerts wait for the console's next start of the desk");
  }
}

int RunAlertDesk(const std::string& dir, const MailServerProbes& probes) {
  platform::FileLock guard;
  if (!guard.TryAcquire(platform::NamedLockPath(dir, kDeskProgram))) return 0;
  common::KeepDailyLogsOpen();
  while (platform::IsDirectory(dir)) {
    if (DeskPass(dir, probes, WallSeconds())) {
      platform::SleepMs(1000);
      continue;
    }
    // Nothing waits: let go of the guard, and take it again when an alert came in after
    // the pass, since the agent that queued it found the desk busy.
    guard.Release();
    if (!AnyQueuedAlert(AlertQueueDir(dir))) break;
    if (!guard.TryAcquire(platform::NamedLockPath(dir, kDeskProgram))) break;
  }
  return 0;
}

}  // namespace agents
