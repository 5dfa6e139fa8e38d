#include "console/demo_setup.h"

#include "common/account_key.h"
#include "common/accounts.h"
#include "common/file_ops.h"
#include "common/layout.h"
#include "common/record_texts.h"
#include "console/account_change.h"
#include "console/account_rules.h"
#include "console/form_rules.h"
#include "console/log_files.h"
#include "console/ui_text.h"
#include "platform/codepage.h"
#include "platform/files.h"

namespace console {
namespace {

using nlohmann::json;

// Texts arrive as UTF-8 and are stored as CP932.
std::optional<std::string> Stored(const json& value) {
  if (!value.is_string()) return std::nullopt;
  return platform::Utf8ToCp932(value.get<std::string>());
}

// A value of the description that cannot be used as it is; ends the setup with its text.
struct Refused {
  std::string text;
};

// A number of the description within [lo, hi]; `fallback` when the key is absent.
long long NumberOf(const json& object, const char* key, long long lo, long long hi,
                   long long fallback) {
  const CheckedNumber n = NumberAt(object, key, lo, hi);
  if (n.refused()) {
    throw Refused{std::string(key) + ": a whole number from " + std::to_string(lo) + " to " +
                  std::to_string(hi)};
  }
  return n.Or(fallback);
}

bool Flag(const json& account, const char* key, bool fallback = false) {
  auto it = account.find(key);
  if (it != account.end() && it->is_boolean()) return it->get<bool>();
  return NumberOf(account, key, 0, 255, fallback ? 1 : 0) != 0;
}

std::string ApplySettings(const std::string& dir, const json& setup) {
  static const std::pair<const char*, std::string common::AlertFile::*> kTemplates[] = {
      {"downSubject", &common::AlertFile::downSubject},
      {"upSubject", &common::AlertFile::upSubject},
      {"downBody", &common::AlertFile::downBody},
      {"upBody", &common::AlertFile::upBody},
      {"downOnline", &common::AlertFile::downOnline},
      {"upOnline", &common::AlertFile::upOnline},
  };
  bool templates = false;
  for (const auto& [key, field] : kTemplates) templates = templates || setup.contains(key);
  if (setup.contains("mailServer") || setup.contains("to") || setup.contains("sound") ||
      templates) {
    common::AlertFile alert = common::ReadAlert(dir);
    if (setup.contains("mailServer")) {
      auto server = Stored(setup["mailServer"]);
      if (!server) return "mailServer: text that CP932 cannot hold";
      if (HasControlByte(*server)) return "mailServer: a host name holds no control characters";
      common::SetField(alert.settings.primaryServer, *server);
      common::SetField(alert.settings.fromAddress, "varnock@localhost");
    }
    if (setup.contains("to")) {
      auto to = Stored(setup["to"]);
      if (!to) return "to: text that CP932 cannot hold";
      if (!ListControlsValid(*to)) return "to: control characters other than line breaks";
      alert.toAddresses = *to;
    }
    if (setup.contains("sound")) alert.settings.soundAlarm = Flag(setup, "sound") ? 1 : 0;
    if (setup.contains("wave")) {
      auto wave = Stored(setup["wave"]);
      if (!wave) return "wave: text that CP932 cannot hold";
      common::SetField(alert.settings.waveFile, *wave);
      alert.settings.playWave = wave->empty() ? 0 : 1;
    }
    for (const auto& [key, field] : kTemplates) {
      if (!setup.contains(key)) continue;
      auto text = Stored(setup[key]);
      if (!text) return std::string(key) + ": text that CP932 cannot hold";
      alert.*field = *text;
    }
    if (!common::WriteAlert(dir, alert)) return "cannot write Setting/Alert.dat";
  }
  if (setup.contains("interval")) {
    bool ok = false;
    common::ScanSettings scan = common::ReadScanSettings(dir, &ok);
    if (!ok) scan = {{0, 0, 0, 0, 0}, {1, 1, 1, 1, 1}, {1, 1, 1, 1, 1}, 5};
    const auto minutes = static_cast<uint16_t>(NumberOf(setup, "interval", 0, 65535, 0));
    for (auto& v : scan.intervals) v = minutes;
    if (!common::WriteScanSettings(dir, scan)) return "cannot write Setting/Scan.dat";
    common::ScanSchedule schedule{};
    for (auto& v : schedule.groupOn) v = 1;
    if (!common::WriteSchedule(dir, schedule)) return "cannot write Setting/Schedule.dat";
  }
  return "";
}

std::string AddAccount(const std::string& dir, const json& a) {
  auto name = Stored(a.value("name", json()));
  auto host = Stored(a.value("host", json()));
  if (!name || !host || name->empty() || host->empty()) return "an account needs a name and a host";
  common::AccountFile account;
  common::AccountRecord& r = account.record;
  r.type = common::kServer;
  char key[65] = {};
  std::snprintf(key, sizeof key, "%s", name->c_str());
  common::MakeAccountKey(key);
  common::SetField(r.key, key);
  common::SetField(r.host, *host);
  r.pingOn = Flag(a, "ping");
  r.httpPortOn = Flag(a, "http");
  r.ftpPortOn = Flag(a, "ftp");
  r.smtpPortOn = Flag(a, "smtp");
  r.popPortOn = Flag(a, "pop");
  r.httpPort = 80;
  r.ftpPort = 21;
  r.smtpPort = 25;
  r.popPort = 110;
  common::SetField(r.localTestFile, common::InDir(dir, common::kTemp, "FTP_test.text"));
  if (a.contains("custom") && a["custom"].is_array()) {
    int slot = 0;
    for (const json& c : a["custom"]) {
      if (slot == 5 || !c.is_array() || c.size() != 2) break;
      auto service = Stored(c[0]);
      if (!service) return "custom service: text that CP932 cannot hold";
      common::SetField(r.customNames[slot], *service);
      const CheckedNumber port = NumberIn(c[1], 1, kMaxPort);
      if (!port.valid()) return "custom port: a whole number from 1 to 65535";
      r.customPorts[slot] = static_cast<uint32_t>(port.value);
      ++slot;
    }
    r.customOn = slot > 0;
  }
  if (a.value("type", std::string("server")) == "ftp") {
    // An FTP Transfer account: the round trip of a test file instead of the server checks.
    auto user = Stored(a.value("ftpUser", json("")));
    auto password = Stored(a.value("ftpPassword", json("")));
    if (!user || !password) return "ftpUser, ftpPassword: text that CP932 cannot hold";
    if (user->size() > 64 || password->size() > 15) {
      return "ftpUser holds at most 64 bytes, ftpPassword at most 15";
    }
    r.type = common::kFtpTransfer;
    r.isFtpTransfer = 1;
    r.pingOn = r.httpPortOn = r.ftpPortOn = r.smtpPortOn = r.popPortOn = r.customOn = 0;
    common::SetField(r.ftpUser, *user);
    common::SetField(r.ftpPassword, *password);
    r.ftpPortTimeout = static_cast<int16_t>(NumberOf(a, "timeout", 0, 32767, 0));
  }
  // The rules every way in for an account shares.
  AccountFacts facts;
  facts.type = r.type;
  facts.name = *name;
  facts.host = *host;
  facts.checksSomething = r.type != common::kServer || r.pingOn || r.httpPortOn || r.ftpPortOn ||
                          r.smtpPortOn || r.popPortOn || r.customOn;
  if (const AccountRule* rule = FirstFailedRule(facts)) {
    return *name + ": " + MessageText("0", rule->messageKey);
  }
  r.useGlobalMailTemplates = 1;
  r.mailToGlobal = 1;
  r.useGlobalOnlineTemplates = 1;
  r.enabled = Flag(a, "enabled", true) ? 1 : 0;
  const std::string path = common::AccountPath(dir, key);
  AccountChange change;
  if (!change.Begin(dir, ChangeKind::kRegister, key)) return "cannot record the account change";
  if (common::FileExists(path)) common::RemoveAccount(dir, key);
  if (!common::WriteAccount(path, account)) return "cannot write the account record";
  common::RegisterAccountChecks(dir, r);
  change.End();
  common::TouchSettingUpdate(dir);
  WriteLogLine(dir, 10007, "[Account Created]", *name);
  return "";
}

}  // namespace

std::string ApplySetup(const std::string& dir, const json& setup) {
  if (!setup.is_object()) return "the setup must be a JSON object";
  try {
    std::string error = ApplySettings(dir, setup);
    if (!error.empty()) return error;
    if (setup.contains("accounts")) {
      for (const json& a : setup["accounts"]) {
        error = AddAccount(dir, a);
        if (!error.empty()) return error;
      }
    }
  } catch (const json::exception& e) {
    return std::string("bad setup: ") + e.what();
  } catch (const Refused& r) {
    return r.text;
  }
  return "";
}

json DemoSetup(int consolePort, int listenerPort) {
  return {
      {"mailServer", "127.0.0.1"},
      {"to", "admin@localhost"},
      {"interval", 1},
      {"sound", 1},
      // The alert texts a first Setup offers.
      {"downSubject", "Server Down: %S"},
      {"downBody", "Server Down\r\nServer: %S, Domain/IP: %I, Scan Type: %C, Time: %T, Error: %E"},
      {"upSubject", "Server Up: %S"},
      {"upBody", "Server Up\r\nServer: %S, Domain/IP: %I, Scan Type: %C, Time: %T"},
      {"downOnline", "Server Down, Server: %S, Domain/IP: %I, Scan Type: %C, Time: %T, Error: %E"},
      {"upOnline", "Server Up, Server: %S, Domain/IP: %I, Scan Type: %C, Time: %T"},
      {"accounts", json::array({
                       {{"name", "This machine"}, {"host", "127.0.0.1"}, {"ping", true}},
                       {{"name", "Console"},
                        {"host", "127.0.0.1"},
                        {"custom", json::array({json::array({"web console", consolePort})})}},
                       {{"name", "Demo listener"},
                        {"host", "127.0.0.1"},
                        {"custom", json::array({json::array({"demo port", listenerPort})})}},
                   })},
  };
}

}  // namespace console
