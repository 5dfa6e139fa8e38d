#include "console/setup_command.h"

#include "common/account_fields.h"
#include "common/accounts.h"
#include "common/file_ops.h"
#include "common/layout.h"
#include "common/record_texts.h"
#include "console/account_change.h"
#include "console/account_form.h"
#include "console/account_rules.h"
#include "console/form_values.h"
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

// The older spellings of an account, read as the dialogs' keys: "host" for "domain",
// "custom": [[service, port], ...] for "customRows" (and "custom": true when a service is
// given), "type": "ftp" or "server" for the type's number.
json DialogSpelling(json a) {
  if (!a.contains("domain") && a.contains("host")) a["domain"] = a["host"];
  if (auto t = a.find("type"); t != a.end() && t->is_string()) {
    *t = *t == "ftp" ? common::kFtpTransfer : common::kServer;
  }
  if (auto c = a.find("custom"); c != a.end() && c->is_array()) {
    json rows = json::array();
    for (const json& pair : *c) {
      if (rows.size() == 5 || !pair.is_array() || pair.size() != 2) break;
      if (!Stored(pair[0])) throw Refused{"custom service: text that CP932 cannot hold"};
      const CheckedNumber port = NumberIn(pair[1], 1, kMaxPort);
      if (!port.valid()) throw Refused{"custom port: a whole number from 1 to 65535"};
      rows.push_back({{"name", pair[0]}, {"port", port.value}});
    }
    a["custom"] = !rows.empty();
    a["customRows"] = rows;
  }
  return a;
}

// Refuses what the dialogs would cut or could not store; the name is cut like every way in
// cuts it for the key.
void CheckTexts(const json& a, int type) {
  for (const common::AccountField& field : common::AccountFields()) {
    if (field.control != common::Control::kText && field.control != common::Control::kPassword) {
      continue;
    }
    if (field.id == common::Field::kName || !a.contains(field.jsonKey)) continue;
    auto text = Stored(a[field.jsonKey]);
    if (!text) throw Refused{std::string(field.jsonKey) + ": text that CP932 cannot hold"};
    const size_t limit = field.id == common::Field::kHost && type == common::kHttpPage
                             ? common::kPageUrlLimit
                             : field.limit;
    if (text->size() > limit) {
      throw Refused{std::string(field.jsonKey) + " holds at most " + std::to_string(limit) +
                    " bytes"};
    }
  }
}

std::string AddAccount(const std::string& dir, const json& given) {
  if (!given.is_object()) return "an account must be a JSON object";
  json a = DialogSpelling(given);
  auto name = Stored(a.value("name", json()));
  auto host = Stored(a.value("domain", json()));
  if (!name || !host || name->empty() || host->empty()) return "an account needs a name and a host";
  a["type"] = NumberOf(a, "type", common::kServer, common::kEmail, common::kServer);
  // Flags as true/false or as the numbers a file holds.
  for (const common::AccountField& field : common::AccountFields()) {
    if (field.control != common::Control::kFlag || !a.contains(field.jsonKey)) continue;
    if (!a[field.jsonKey].is_boolean()) {
      a[field.jsonKey] = NumberOf(a, field.jsonKey, 0, 255, 0) != 0;
    }
  }
  // Where --setup's accounts differ from a new dialog: no ping and no online message to the
  // global destinations unless asked for.
  if (!a.contains("ping")) a["ping"] = false;
  // The option digits as numbers or as the dialog's texts.
  for (const common::AccountField& field : common::AccountFields()) {
    if (field.sideFile && field.control == common::Control::kDigits && a.contains(field.jsonKey) &&
        a[field.jsonKey].is_number_integer()) {
      a[field.jsonKey] = std::to_string(a[field.jsonKey].get<long long>());
    }
  }
  if (!a.contains("defaultDest")) a["defaultDest"] = false;
  CheckTexts(a, static_cast<int>(a["type"].get<long long>()));

  AccountForm form;
  const FormError read = ParseAccountForm(a, &form);
  if (!read.ok()) {
    return *name + ": " +
           MessageText("0", read.key, read.arg.empty() ? "" : MessageText("0", read.arg));
  }
  // The FTP round trip's waiting time, which no dialog shows.
  const auto ftpTimeout = form.type == common::kFtpTransfer
                              ? static_cast<int16_t>(NumberOf(a, "timeout", 0, 32767, 0))
                              : int16_t{0};
  // The rules every way in for an account shares, in their order.
  if (const AccountRule* rule = FirstFailedRule(FormFacts(form))) {
    return *name + ": " + MessageText("0", rule->messageKey);
  }
  if (const AccountRule* rule = ParentRule(dir, form.name, form.parent)) {
    return *name + ": " + MessageText("0", rule->messageKey);
  }
  // No templates of its own: the account uses the global ones unless the setup gives some.
  common::AccountFile account = BuildAccount(form, dir, common::AlertFile{}, nullptr);
  account.record.ftpPortTimeout = ftpTimeout;
  const std::string key = common::FieldText(account.record.key);
  const std::string path = common::AccountPath(dir, key);
  AccountChange change;
  if (!change.Begin(dir, ChangeKind::kRegister, key)) return "cannot record the account change";
  if (common::FileExists(path)) common::RemoveAccount(dir, key);
  if (!common::WriteAccountOptions(dir, key, account.record.type, account.options)) {
    return "cannot write the account options";
  }
  if (!common::WriteAccount(path, account)) return "cannot write the account record";
  common::RegisterAccountChecks(dir, account.record);
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
      {"accounts",
       json::array({
           {{"name", "This machine"}, {"domain", "127.0.0.1"}, {"ping", true}},
           {{"name", "Console"},
            {"domain", "127.0.0.1"},
            {"custom", true},
            {"customRows", json::array({{{"name", "web console"}, {"port", consolePort}}})}},
           {{"name", "Demo listener"},
            {"domain", "127.0.0.1"},
            {"custom", true},
            {"customRows", json::array({{{"name", "demo port"}, {"port", listenerPort}}})}},
       })},
  };
}

}  // namespace console
