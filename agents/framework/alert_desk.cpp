#include "agents/framework/alert_desk.h"

#include <algorithm>
#include <ctime>
#include <optional>
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
#include "common/alert_grouping.h"
#include "common/daily_log.h"
#include "common/file_ops.h"
#include "common/layout.h"
#include "common/maintenance.h"
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

// The local time an alert was due at: its check time, or now when it holds none.
platform::SystemTime DueTime(const QueuedAlert& a) {
  int64_t v = 0;
  for (char c : a.checkTime) {
    if (c < '0' || c > '9' || a.checkTime.size() != 14) return platform::LocalNow();
    v = v * 10 + (c - '0');
  }
  std::tm tm{};
  tm.tm_year = static_cast<int>(v / 10000000000) - 1900;
  tm.tm_mon = static_cast<int>(v / 100000000 % 100) - 1;
  tm.tm_mday = static_cast<int>(v / 1000000 % 100);
  tm.tm_hour = static_cast<int>(v / 10000 % 100);
  tm.tm_min = static_cast<int>(v / 100 % 100);
  tm.tm_sec = static_cast<int>(v % 100);
  tm.tm_isdst = -1;
  if (std::mktime(&tm) == -1) return platform::LocalNow();
  platform::SystemTime t{};
  t.year = static_cast<uint16_t>(tm.tm_year + 1900);
  t.month = static_cast<uint16_t>(tm.tm_mon + 1);
  t.dayOfWeek = static_cast<uint16_t>(tm.tm_wday);
  t.day = static_cast<uint16_t>(tm.tm_mday);
  t.hour = static_cast<uint16_t>(tm.tm_hour);
  t.minute = static_cast<uint16_t>(tm.tm_min);
  t.second = static_cast<uint16_t>(tm.tm_sec);
  return t;
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

// One check's recent state changes, while the flapping watch is on: the times of the
// changes within the window (at most one more than the threshold), whether it is flapping,
// and its last alert (for the account, the check and the words of the notices).
struct FlapRecord {
  bool flapping = false;
  std::vector<int64_t> changes;
  QueuedAlert last;
};

constexpr const char* kFlapMagic = "VarnFlap1\n";

std::string FlapDir(const std::string& dir) {
  return platform::JoinPath(AlertQueueDir(dir), kFlapDirName);
}

std::string FlapFileName(const QueuedAlert& a) {
  return a.key + "." + std::to_string(a.folder) + "." + std::to_string(a.slot + 1);
}

std::optional<FlapRecord> ReadFlap(const std::string& path) {
  std::optional<std::string> text = platform::ReadWholeFile(path, kMaxQueuedAlertBytes + 4096);
  const std::string magic = kFlapMagic;
  if (!text || text->compare(0, magic.size(), magic) != 0) return std::nullopt;
  const size_t flagEnd = text->find('\n', magic.size());
  const size_t changesEnd = flagEnd == std::string::npos ? flagEnd : text->find('\n', flagEnd + 1);
  if (changesEnd == std::string::npos) return std::nullopt;
  FlapRecord r;
  r.flapping = text->substr(magic.size(), flagEnd - magic.size()) == "1";
  const std::string list = text->substr(flagEnd + 1, changesEnd - flagEnd - 1);
  size_t at = 0;
  while (at < list.size() && r.changes.size() <= static_cast<size_t>(common::kMaxFlapChanges)) {
    size_t end = list.find(' ', at);
    if (end == std::string::npos) end = list.size();
    const std::string item = list.substr(at, end - at);
    if (item.empty() || item.size() > 18 ||
        item.find_first_not_of("0123456789") != std::string::npos)
      return std::nullopt;
    r.changes.push_back(std::stoll(item));
    at = end + 1;
  }
  std::optional<QueuedAlert> last = DecodeQueuedAlert(text->substr(changesEnd + 1));
  if (!last) return std::nullopt;
  r.last = std::move(*last);
  return r;
}

bool WriteFlap(const std::string& path, const FlapRecord& r) {
  std::string text = kFlapMagic;
  text += r.flapping ? "1\n" : "0\n";
  for (size_t i = 0; i < r.changes.size(); ++i)
    text += (i ? " " : "") + std::to_string(r.changes[i]);
  text += "\n" + EncodeQueuedAlert(r.last);
  return platform::WriteFileAtomic(path, text, 0600);
}

// A notice about one check (flapping, stable again) to the recipients its alerts go to.
void SendNotice(const std::string& dir, const MailServerProbes& probes, const QueuedAlert& a,
                const std::string& subject, const std::string& body, const std::string& word) {
  SendContext context(dir, probes, ProfileOfFolder(a.folder), a.tagName.c_str(),
                      a.upMailTag.c_str());
  const RunContext& run = context.run;
  bool whole = false;
  common::AccountFile account = common::ReadAccount(common::AccountPath(dir, a.key), &whole);
  if (!whole) return;
  const common::AccountRecord& r = account.record;
  const std::string sent = "[" + word + " Notice Sent: " + a.tagName + "]";
  const std::string notSent = "[" + word + " Notice Not Sent: " + a.tagName + "]";
  if (r.mailToGlobal != 0 || r.mailToAccount != 0) {
    HandOverMail(run,
                 MailRecipients(r.mailToGlobal != 0, run.alert.toAddresses, r.mailToAccount != 0,
                                account.mailAddresses),
                 subject, body, sent, notSent, NameOf(a.key));
  }
  auto lan = [&](bool on, const std::string& list) {
    if (!on || list.empty()) return;
    SendLanText(run, list, subject, notSent);
    Log(dir, "[" + word + " Message Sent: " + a.tagName + "]", list);
  };
  lan(r.onlineToGlobal != 0, run.alert.netSendAddresses);
  lan(r.onlineToAccount != 0, account.netSendAddresses);
}

std::string HostOf(const std::string& dir, const std::string& key) {
  bool whole = false;
  common::AccountFile account = common::ReadAccount(common::AccountPath(dir, key), &whole);
  return whole ? common::FieldText(account.record.host) : std::string();
}

// Counts the alert as a state change of its check. True when it is to be sent; false when
// the check flaps (the first time, the flapping notice goes out instead).
bool PassesFlapWatch(const std::string& dir, const MailServerProbes& probes,
                     const common::AlertGrouping& g, const QueuedAlert& a, int64_t now) {
  const std::string folder = FlapDir(dir);
  const std::string path = platform::JoinPath(folder, FlapFileName(a));
  FlapRecord r = ReadFlap(path).value_or(FlapRecord{});
  const int64_t window = static_cast<int64_t>(g.flapMinutes) * 60;
  std::erase_if(r.changes, [&](int64_t t) { return t + window <= now; });
  r.changes.push_back(a.queuedAt > now ? now : a.queuedAt);
  if (r.changes.size() > static_cast<size_t>(g.flapChanges) + 1) r.changes.erase(r.changes.begin());
  r.last = a;
  const bool wasFlapping = r.flapping;
  r.flapping = r.flapping || r.changes.size() > static_cast<size_t>(g.flapChanges);
  platform::MakeDirs(folder, 0700);
  if (!WriteFlap(path, r)) {
    WriteFrameworkLine(dir, kMailNotSentCode, "[Flapping Not Recorded: " + a.tagName + "]",
                       NameOf(a.key) + ": its alert is sent as it is");
    return true;
  }
  if (!r.flapping) return true;
  const std::string name = NameOf(a.key);
  if (!wasFlapping) {
    const std::string minutes = std::to_string(g.flapMinutes);
    SendNotice(dir, probes, a, "KT.Varnock: " + name + " is flapping",
               name + " (" + HostOf(dir, a.key) + "), " + a.checkType + ": more than " +
                   std::to_string(g.flapChanges) + " state changes within " + minutes +
                   " minutes. Its Down and Up alerts are held until it has been stable for " +
                   minutes + " minutes.\r\n",
               "Flapping");
  }
  Log(dir, "[" + KindWord(a.kind) + " Alert Held: flapping]", name);
  return false;
}

// Checks that flapped and have been stable for the whole window get one notice with their
// state now; records that no longer count are removed. True while any check flaps.
bool SettleFlaps(const std::string& dir, const MailServerProbes& probes,
                 const common::AlertGrouping& g, int64_t now) {
  const std::string folder = FlapDir(dir);
  bool flapping = false;
  const int64_t window = static_cast<int64_t>(g.flapMinutes) * 60;
  for (const std::string& name : platform::ListFiles(folder)) {
    const std::string path = platform::JoinPath(folder, name);
    std::optional<FlapRecord> r = ReadFlap(path);
    if (!r) {
      platform::RemoveFile(path);
      continue;
    }
    const int64_t last = r->changes.empty() ? 0 : r->changes.back();
    if (g.flapChanges > 0 && last + window > now) {
      flapping = flapping || r->flapping;
      continue;
    }
    if (r->flapping && g.flapChanges > 0) {
      const QueuedAlert& a = r->last;
      const bool down = CheckStateOf(dir, a.folder, a.slot, a.key) != CheckState::kUp;
      const std::string account = NameOf(a.key);
      SendNotice(dir, probes, a, "KT.Varnock: " + account + " is stable, " + (down ? "Down" : "Up"),
                 account + " (" + HostOf(dir, a.key) + "), " + a.checkType +
                     ": no state change for " + std::to_string(g.flapMinutes) + " minutes; it is " +
                     (down ? "down" : "up") + " now.\r\n",
                 "Stable");
    }
    platform::RemoveFile(path);
  }
  return flapping;
}

}  // namespace

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
  const common::AlertGrouping s = common::ReadAlertGrouping(dir);
  if (s.groupCount > 0 || s.flapChanges > 0) return true;
  if (common::AnyMaintenanceAhead(common::ReadMaintenance(dir), platform::LocalNow())) return true;
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
  const common::AlertGrouping settings = common::ReadAlertGrouping(dir);
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

  if (settings.flapChanges > 0 || platform::IsDirectory(FlapDir(dir)))
    pending = SettleFlaps(dir, probes, settings, now) || pending;
  if (ready.empty()) return pending;

  if (settings.groupCount > 0) {
    int64_t first = ready.front().queuedAt;
    for (const QueuedAlert& a : ready) first = std::min(first, a.queuedAt);
    if (now < first + settings.groupSeconds) return true;  // the window is still open
  }

  const std::vector<common::MaintenanceWindow> maintenance = common::ReadMaintenance(dir);
  // Claimed first: what cannot be claimed is left in the queue for the next pass.
  std::vector<const QueuedAlert*> batch;
  std::vector<std::string> claimed;
  for (const QueuedAlert& a : ready) {
    std::string path;
    if (!Claim(queueDir, a, &path)) {
      pending = true;
      continue;
    }
    claimed.push_back(path);
    if (common::InMaintenance(maintenance, a.key, DueTime(a))) {
      Log(dir, "[" + KindWord(a.kind) + " Alert Held: maintenance]", NameOf(a.key));
      continue;
    }
    if (settings.flapChanges > 0 && !PassesFlapWatch(dir, probes, settings, a, now)) {
      pending = true;
      continue;
    }
    batch.push_back(&a);
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
