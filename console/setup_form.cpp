#include "console/setup_form.h"

#include <cstdio>
#include <optional>
#include <string_view>
#include <utility>

#include "common/accounts.h"
#include "common/alert_grouping.h"
#include "common/file_ops.h"
#include "common/layout.h"
#include "common/scan_groups.h"
#include "console/form_values.h"
#include "console/text_convert.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/files.h"

namespace console {
namespace {

using nlohmann::json;

// The interval boxes and log options of the dialog are one per scan group, in the order the
// dialog shows them; the group is the index of both its interval and its log flags in
// Scan.dat.

json Utf8List(const std::vector<std::string>& texts) {
  json a = json::array();
  for (const std::string& t : texts) a.push_back(ToUtf8(t));
  return a;
}

FormError Fail(const char* key) {
  return {key, ""};
}

// The alert mail transport of the form: each key the request holds replaces the current
// value; a key it leaves out keeps it.
struct ServerForm {
  common::MailServerTransport value;
  bool securityBad = false;
  bool portBad = false;
};
struct TransportForm {
  ServerForm primary, alternate;
  bool verify = true;
  std::string caFile;
  bool caFileBad = false;
};

// The security list of the page, by the names Varnock.ini keeps.
constexpr std::pair<const char*, common::MailSecurity> kSecurityChoices[] = {
    {"none", common::MailSecurity::kNone},
    {"starttls", common::MailSecurity::kStartTls},
    {"tls", common::MailSecurity::kTls},
};

// A port field: digits only, 1-65535; empty for the default of the chosen security.
CheckedNumber PortOf(const json& value) {
  if (!value.is_string()) return NumberIn(value, 1, 65535);
  std::string_view text = value.get_ref<const std::string&>();
  const size_t first = text.find_first_not_of(' ');
  text = first == std::string_view::npos
             ? ""
             : text.substr(first, text.find_last_not_of(' ') + 1 - first);
  if (text.empty()) return {};
  if (text.size() > 5 || text.find_first_not_of("0123456789") != std::string_view::npos) {
    return {CheckedNumber::kRefused, 0};
  }
  return DecimalIn(text, 1, 65535);
}

ServerForm ReadServerForm(const json& body, const char* securityKey, const char* portKey,
                          const common::MailServerTransport& was) {
  ServerForm f{was};
  common::MailServerTransport& v = f.value;
  auto security = body.find(securityKey);
  if (security != body.end()) {
    f.securityBad = true;
    for (const auto& [name, choice] : kSecurityChoices) {
      if (*security == name) {
        // A port that was the old choice's default follows the new choice.
        if (v.port == common::DefaultMailPort(v.security)) v.port = common::DefaultMailPort(choice);
        v.security = choice;
        v.problem.clear();
        f.securityBad = false;
      }
    }
  }
  auto port = body.find(portKey);
  if (port != body.end()) {
    const CheckedNumber n = PortOf(*port);
    f.portBad = n.refused();
    v.port = static_cast<uint16_t>(n.Or(common::DefaultMailPort(v.security)));
  }
  return f;
}

TransportForm ReadTransportForm(const json& body, const common::AlertMailTransport& was) {
  TransportForm f{ReadServerForm(body, "primarySecurity", "primaryPort", was.primary),
                  ReadServerForm(body, "alternateSecurity", "alternatePort", was.alternate),
                  was.verify, was.caFile};
  auto verify = body.find("mailVerify");
  if (verify != body.end() && verify->is_boolean()) f.verify = verify->get<bool>();
  auto caFile = body.find("caFile");
  if (caFile != body.end()) {
    // A path of this host's file system, kept as typed (UTF-8), not in the files' code page.
    f.caFileBad = !caFile->is_string();
    if (!f.caFileBad) f.caFile = caFile->get<std::string>();
  }
  // A line of Varnock.ini, so never a control byte; the full path (the agents run in their
  // own directory) of a readable file of PEM certificates, when certificates are checked.
  if (!f.caFile.empty()) {
    f.caFileBad = f.caFileBad || f.caFile.size() > 1023 || f.caFile.front() != '/' ||
                  HasControlByte(f.caFile);
    if (!f.caFileBad && f.verify) {
      std::optional<std::string> pem;
      if (platform::IsRegularFile(f.caFile)) pem = platform::ReadWholeFile(f.caFile, 16u << 20);
      f.caFileBad = !pem || pem->find("-----BEGIN CERTIFICATE-----") == std::string::npos;
    }
  }
  return f;
}

// A count field of the alert grouping: digits (a number from a file), within its range.
CheckedNumber GroupNumberOf(const json& body, const char* key, long long hi) {
  auto it = body.find(key);
  if (it == body.end()) return {};
  if (it->is_string()) {
    const std::string& text = it->get_ref<const std::string&>();
    if (text.empty() || text.size() > 5 ||
        text.find_first_not_of("0123456789") != std::string::npos)
      return {CheckedNumber::kRefused, 0};
    return DecimalIn(text, 1, hi);
  }
  return NumberIn(*it, 1, hi);
}

// "Group alerts when more than N arrive within M seconds": each key the request holds
// replaces the current value; an older page that sends none keeps it.
struct GroupingForm {
  common::AlertGrouping value;
  bool groupBad = false;
  bool flapBad = false;
};

// One switch and its two numbers (threshold, window); off stores no threshold and the
// window's default. A request without the switch keeps what is stored.
bool ReadSwitchPair(const json& body, const char* on, const char* countKey, long long maxCount,
                    const char* windowKey, long long maxWindow, int defaultWindow, int* count,
                    int* window) {
  auto it = body.find(on);
  if (it == body.end()) return true;
  if (!it->is_boolean()) return false;
  if (!it->get<bool>()) {
    *count = 0;
    *window = defaultWindow;
    return true;
  }
  const CheckedNumber n = GroupNumberOf(body, countKey, maxCount);
  const CheckedNumber w = GroupNumberOf(body, windowKey, maxWindow);
  *count = static_cast<int>(n.Or(0));
  *window = static_cast<int>(w.Or(defaultWindow));
  return n.valid() && w.valid();
}

GroupingForm ReadGroupingForm(const json& body, const common::AlertGrouping& was) {
  GroupingForm f{was};
  common::AlertGrouping& g = f.value;
  f.groupBad =
      !ReadSwitchPair(body, "groupAlerts", "groupCount", common::kMaxGroupCount, "groupSeconds",
                      common::kMaxGroupSeconds, 60, &g.groupCount, &g.groupSeconds);
  f.flapBad =
      !ReadSwitchPair(body, "flapWatch", "flapChanges", common::kMaxFlapChanges, "flapMinutes",
                      common::kMaxFlapMinutes, 30, &g.flapChanges, &g.flapMinutes);
  return f;
}

// What one test of "OK" looks at.
struct SetupView {
  const std::string& primary;
  bool primaryAuth;
  const std::string& primaryUser;
  const std::optional<std::string>& primaryPassword;
  const std::string& alternate;
  bool alternateAuth;
  const std::string& alternateUser;
  const std::optional<std::string>& alternatePassword;
  const std::string& from;
  const std::string& to;
  bool soundAlarm, playWave;
  const std::string& wave;
  const json& body;
  const common::AlertAuth& was;
  const TransportForm& transport;
  const GroupingForm& grouping;
};

bool Blank(const std::optional<std::string>& typed, const char* stored) {
  return typed ? typed->empty() : stored[0] == '\0';
}

// A list position of the page that is present must be one of the list's.
bool PositionRefused(const json& object, const char* key) {
  return NumberAt(object, key, 0, kListValues - 1).refused();
}

struct SetupCheck {
  bool (*fails)(const SetupView&);
  const char* key;
};

// The tests of "OK" in their order; the first that fails gives the message.
constexpr SetupCheck kSetupChecks[] = {
    {[](const SetupView& v) { return v.primary.empty(); }, "msgPrimaryBlank"},
    {[](const SetupView& v) { return v.from.empty(); }, "msgFromBlank"},
    {[](const SetupView& v) { return v.to.empty(); }, "msgToBlank"},
    {[](const SetupView& v) { return !HostNameValid(v.primary); }, "msgPrimaryBad"},
    {[](const SetupView& v) { return v.primaryAuth && v.primaryUser.empty(); },
     "msgPrimaryUserBlank"},
    {[](const SetupView& v) {
       return v.primaryAuth && Blank(v.primaryPassword, v.was.primaryPassword);
     },
     "msgPrimaryPasswordBlank"},
    {[](const SetupView& v) { return !v.alternate.empty() && !HostNameValid(v.alternate); },
     "msgAlternateBad"},
    {[](const SetupView& v) { return v.alternateAuth && v.alternateUser.empty(); },
     "msgAlternateUserBlank"},
    {[](const SetupView& v) {
       return v.alternateAuth && Blank(v.alternatePassword, v.was.alternatePassword);
     },
     "msgAlternatePasswordBlank"},
    {[](const SetupView& v) { return v.alternate.empty() && v.alternateAuth; },
     "msgAlternateBlank"},
    {[](const SetupView& v) { return !AddressListValid(v.from); }, "msgFromBad"},
    {[](const SetupView& v) { return !AddressListValid(v.to); }, "msgToBad"},
    {[](const SetupView& v) { return v.playWave && v.soundAlarm && v.wave.empty(); },
     "msgSoundBlank"},
    // The From address is one header line: a line break or control byte would add headers.
    {[](const SetupView& v) { return HasControlByte(v.from); }, "msgFromBad"},
    // To addresses are lines; inside a line no control byte (a lone CR ends a header too).
    {[](const SetupView& v) { return !ListControlsValid(v.to); }, "msgToBad"},
    // The alert mail transport, after the described tests.
    {[](const SetupView& v) { return v.transport.primary.securityBad; }, "msgPrimarySecurityBad"},
    {[](const SetupView& v) { return v.transport.primary.portBad; }, "msgPrimaryPortBad"},
    {[](const SetupView& v) { return v.transport.alternate.securityBad; },
     "msgAlternateSecurityBad"},
    {[](const SetupView& v) { return v.transport.alternate.portBad; }, "msgAlternatePortBad"},
    {[](const SetupView& v) { return v.transport.caFileBad; }, "msgCaFileBad"},
    {[](const SetupView& v) { return v.grouping.groupBad; }, "msgGroupAlertsRange"},
    {[](const SetupView& v) { return v.grouping.flapBad; }, "msgFlapRange"},
    // List positions come from the page's lists; any other number is not a request of it.
    {[](const SetupView& v) {
       if (PositionRefused(v.body, "keepDays")) return true;
       const json& groups = v.body.value("groups", json::object());
       if (!groups.is_object()) return false;
       for (common::ScanGroup g : common::kGroupDisplayOrder) {
         const char* name = common::GroupFacts(g).name;
         if (PositionRefused(groups.value(name, json::object()), "interval")) return true;
       }
       return false;
     },
     "msgBadRequest"},
};

}  // namespace

const std::array<const char*, 4> kDefaultMailTemplates = {
    "Server Down: %S", "Server Up: %S",
    "Server Down\r\nServer: %S, Domain/IP: %I, Scan Type: %C, Time: %T, Error: %E",
    "Server Up\r\nServer: %S, Domain/IP: %I, Scan Type: %C, Time: %T"};
const std::array<const char*, 2> kDefaultOnlineTemplates = {
    "Server Down, Server: %S, Domain/IP: %I, Scan Type: %C, Time: %T, Error: %E",
    "Server Up, Server: %S, Domain/IP: %I, Scan Type: %C, Time: %T"};

std::string GlobalMailScratchPath(const std::string& dir) {
  return common::InDir(dir, common::kTemp, "messagealert.dat");
}
std::string GlobalOnlineScratchPath(const std::string& dir) {
  return common::InDir(dir, common::kTemp, "onlinealert.dat");
}

bool WriteScratch(const std::string& path, const std::vector<std::string>& texts) {
  std::vector<char> image = common::EncodeTextBlocks(texts);
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (common::WriteWholeFile(path, image.data(), image.size(), 0600) == 1) return true;
    platform::SleepMs(10);
  }
  std::fprintf(stderr, "KTVarnock: cannot write %s\n", path.c_str());
  return false;
}

std::vector<std::string> ReadScratch(const std::string& path) {
  auto data = platform::ReadWholeFile(path, 1u << 20);
  if (!data) return {};
  return common::DecodeTextBlocks(std::vector<char>(data->begin(), data->end()));
}

json SetupJson(const std::string& dir, const SettingCopies& c) {
  const common::AlertFile& a = c.alert;
  const common::AlertSettings& s = a.settings;
  const std::string mailPath = GlobalMailScratchPath(dir);
  const std::string onlinePath = GlobalOnlineScratchPath(dir);
  const bool mailEmpty =
      a.downSubject.empty() && a.upSubject.empty() && a.downBody.empty() && a.upBody.empty();
  if (mailEmpty) {
    WriteScratch(mailPath, {kDefaultMailTemplates.begin(), kDefaultMailTemplates.end()});
  } else if (!platform::IsRegularFile(mailPath)) {
    // The stored templates stay what the editor shows when its file went missing.
    WriteScratch(mailPath, {a.downSubject, a.upSubject, a.downBody, a.upBody});
  }
  if (a.downOnline.empty() && a.upOnline.empty()) {
    WriteScratch(onlinePath, {kDefaultOnlineTemplates.begin(), kDefaultOnlineTemplates.end()});
  } else if (!platform::IsRegularFile(onlinePath)) {
    WriteScratch(onlinePath, {a.downOnline, a.upOnline});
  }
  std::vector<std::string> mail = ReadScratch(mailPath);
  std::vector<std::string> online = ReadScratch(onlinePath);
  // A template the file does not hold shows its default.
  for (size_t i = mail.size(); i < 4; ++i) mail.push_back(kDefaultMailTemplates[i]);
  for (size_t i = online.size(); i < 2; ++i) online.push_back(kDefaultOnlineTemplates[i]);
  mail.resize(4);
  online.resize(2);

  const bool firstSetup = s.primaryServer[0] == '\0';
  common::CheckCounts counts = common::CountChecks(dir);
  // Checks per group, by common::ScanGroup.
  const int items[common::kGroupCount] = {counts.ping, counts.httpPage, counts.email,
                                          counts.ftpTransfer, counts.port};
  json groups = json::object();
  for (common::ScanGroup g : common::kGroupDisplayOrder) {
    groups[common::GroupFacts(g).name] = {{"interval", ListPosition(c.scan.intervals[g])},
                                          {"logOn", firstSetup || c.scan.logOn[g] != 0},
                                          {"logAll", firstSetup || c.scan.logAll[g] != 0},
                                          {"items", items[g]}};
  }
  // A server whose keys could not be read shows no security choice: "OK" then asks for one
  // rather than store the fallback.
  auto security = [](const common::MailServerTransport& t) {
    return t.problem.empty() ? common::MailSecurityName(t.security) : "";
  };
  const common::AlertMailTransport& m = c.mailTransport;
  const common::AlertGrouping grouping = common::ReadAlertGrouping(dir);
  return {
      {"primaryServer", ToUtf8(common::FieldText(s.primaryServer))},
      {"primaryAuth", c.auth.primaryAuth != 0},
      {"primaryUser", ToUtf8(common::FieldText(c.auth.primaryUser))},
      {"primaryPasswordStored", c.auth.primaryPassword[0] != '\0'},
      {"alternateServer", ToUtf8(common::FieldText(s.alternateServer))},
      {"alternateAuth", c.auth.alternateAuth != 0},
      {"alternateUser", ToUtf8(common::FieldText(c.auth.alternateUser))},
      {"alternatePasswordStored", c.auth.alternatePassword[0] != '\0'},
      {"primaryPort", m.primary.port},
      {"primarySecurity", security(m.primary)},
      {"alternatePort", m.alternate.port},
      {"alternateSecurity", security(m.alternate)},
      {"mailVerify", m.verify},
      {"caFile", m.caFile},
      // Off shows the suggested threshold, for the box to be ticked as it stands.
      {"groupAlerts", grouping.groupCount > 0},
      {"groupCount", std::to_string(grouping.groupCount > 0 ? grouping.groupCount : 5)},
      {"groupSeconds", std::to_string(grouping.groupSeconds)},
      {"flapWatch", grouping.flapChanges > 0},
      {"flapChanges", std::to_string(grouping.flapChanges > 0 ? grouping.flapChanges : 4)},
      {"flapMinutes", std::to_string(grouping.flapMinutes)},
      {"from", ToUtf8(common::FieldText(s.fromAddress))},
      {"to", ToUtf8(a.toAddresses)},
      {"netSend", ToUtf8(a.netSendAddresses)},
      {"soundAlarm", s.soundAlarm != 0},
      {"playWave", s.playWave == 1},
      {"waveFile", ToUtf8(common::FieldText(s.waveFile))},
      {"groups", groups},
      {"keepDays", ListPosition(c.scan.keepLogDays)},
      {"mailTemplates", Utf8List(mail)},
      {"onlineTemplates", Utf8List(online)},
      {"defaultMailTemplates",
       json(std::vector<std::string>(kDefaultMailTemplates.begin(), kDefaultMailTemplates.end()))},
      {"defaultOnlineTemplates", json(std::vector<std::string>(kDefaultOnlineTemplates.begin(),
                                                               kDefaultOnlineTemplates.end()))},
  };
}

FormError SaveSetup(const std::string& dir, const json& body, SettingCopies* current) {
  FormReader r(body);
  const std::string primary = r.Text("primaryServer", 149, "lblOutgoing");
  const bool primaryAuth = r.Flag("primaryAuth");
  const std::string primaryUser = r.Text("primaryUser", 64, "lblPrimaryId");
  const std::optional<std::string> primaryPassword =
      r.Password("primaryPassword", 15, "lblPrimaryPassword");
  const std::string alternate = r.Text("alternateServer", 149, "lblAltOutgoing");
  const bool alternateAuth = r.Flag("alternateAuth");
  const std::string alternateUser = r.Text("alternateUser", 64, "lblAltId");
  const std::optional<std::string> alternatePassword =
      r.Password("alternatePassword", 15, "lblAltPassword");
  const std::string from = r.Text("from", 149, "lblFrom");
  const std::string to = r.Text("to", kMaxLongText, "lblTo");
  const std::string netSend = r.Text("netSend", kMaxLongText, "lblNetSend");
  const bool soundAlarm = r.Flag("soundAlarm");
  const bool playWave = r.Flag("playWave");
  const std::string wave = r.Text("waveFile", 259, "lblSoundFile");
  if (!r.failedLabel().empty()) return {"msgNotCp932", r.failedLabel()};
  const TransportForm transport = ReadTransportForm(body, current->mailTransport);
  const GroupingForm grouping = ReadGroupingForm(body, common::ReadAlertGrouping(dir));

  const SetupView v{primary,       primaryAuth,
                    primaryUser,   primaryPassword,
                    alternate,     alternateAuth,
                    alternateUser, alternatePassword,
                    from,          to,
                    soundAlarm,    playWave,
                    wave,          body,
                    current->auth, transport,
                    grouping};
  for (const SetupCheck& check : kSetupChecks) {
    if (check.fails(v)) return Fail(check.key);
  }
  // Every test passed: the Wave folder keeps only the chosen sound file.
  const std::string waveDir = common::InDir(dir, common::kWave);
  for (const std::string& name : platform::ListFiles(waveDir)) {
    if (name != wave) platform::RemoveFile(platform::JoinPath(waveDir, name));
  }

  common::AlertFile alert;
  common::AlertSettings& s = alert.settings;
  common::SetField(s.primaryServer, primary);
  s.soundAlarm = soundAlarm;
  s.playWave = playWave;
  common::SetField(s.alternateServer, alternate);
  common::SetField(s.fromAddress, from);
  common::SetField(s.waveFile, wave);
  alert.toAddresses = to;
  alert.netSendAddresses = netSend;
  std::vector<std::string> mail = ReadScratch(GlobalMailScratchPath(dir));
  std::vector<std::string> online = ReadScratch(GlobalOnlineScratchPath(dir));
  mail.resize(4);
  online.resize(2);
  alert.downSubject = mail[0];
  alert.upSubject = mail[1];
  alert.downBody = mail[2];
  alert.upBody = mail[3];
  alert.downOnline = online[0];
  alert.upOnline = online[1];

  common::ScanSettings scan = current->scan;
  const json& groups = body.value("groups", json::object());
  for (common::ScanGroup g : common::kGroupDisplayOrder) {
    const char* name = common::GroupFacts(g).name;
    const json& box = groups.is_object() ? groups.value(name, json::object()) : json::object();
    if (!box.is_object()) continue;
    FormReader gr(box);
    const CheckedNumber pos = NumberAt(box, "interval", 0, kListValues - 1);
    if (pos.valid()) scan.intervals[g] = static_cast<uint16_t>(ListValue(pos.value));
    scan.logOn[g] = gr.Flag("logOn", true);
    scan.logAll[g] = gr.Flag("logAll", true);
  }
  const CheckedNumber days = NumberAt(body, "keepDays", 0, kListValues - 1);
  if (days.valid()) scan.keepLogDays = static_cast<uint16_t>(ListValue(days.value));

  const common::AlertAuth& was = current->auth;
  common::AlertAuth auth{};
  auth.primaryAuth = primaryAuth;
  auth.alternateAuth = alternateAuth;
  if (primaryAuth) {
    common::SetField(auth.primaryUser, primaryUser);
    common::SetField(auth.primaryPassword,
                     primaryPassword ? *primaryPassword : common::FieldText(was.primaryPassword));
  }
  if (alternateAuth) {
    common::SetField(auth.alternateUser, alternateUser);
    common::SetField(auth.alternatePassword, alternatePassword
                                                 ? *alternatePassword
                                                 : common::FieldText(was.alternatePassword));
  }

  bool ok = common::WriteScanSettings(dir, scan);
  ok = common::WriteAlert(dir, alert) && ok;
  ok = common::WriteAlertAuth(dir, auth) && ok;
  const common::AlertMailTransport mailTransport{transport.primary.value, transport.alternate.value,
                                                 transport.verify, transport.caFile};
  ok = WriteMailTransport(dir, mailTransport) && ok;
  ok = common::WriteAlertGrouping(dir, grouping.value) && ok;
  if (!ok) {
    std::fprintf(stderr, "KTVarnock: cannot write the Setting files or Varnock.ini in %s\n",
                 dir.c_str());
  }
  current->scan = scan;
  current->alert = common::ReadAlert(dir);
  if (!ok) current->alert = alert;
  current->auth = auth;
  current->mailTransport = ok ? common::ReadAlertMailTransport(dir) : mailTransport;
  current->mailConfigured = common::MailConfigured(alert.settings);
  return ok ? FormError{} : Fail("msgWriteFailed");
}

FormError SaveGlobalTemplates(const std::string& dir, const std::string& kind, const json& texts) {
  const size_t n = kind == "mail" ? 4 : kind == "online" ? 2 : 0;
  if (n == 0 || !texts.is_array() || texts.size() != n) return Fail("msgBadRequest");
  json object = json::object();
  for (size_t i = 0; i < n; ++i) object[std::to_string(i)] = texts[i];
  FormReader r(object);
  std::vector<std::string> list;
  for (size_t i = 0; i < n; ++i) {
    list.push_back(r.Text(std::to_string(i).c_str(), kMaxLongText,
                          n == 4 ? "titleGlobalNotification" : "titleGlobalOnline"));
  }
  if (!r.failedLabel().empty()) return {"msgNotCp932", r.failedLabel()};
  const std::string path = n == 4 ? GlobalMailScratchPath(dir) : GlobalOnlineScratchPath(dir);
  return WriteScratch(path, list) ? FormError{} : Fail("msgWriteFailed");
}

FormError StoreWave(const std::string& dir, const std::string& name, const std::string& body,
                    std::string* storedName) {
  if (name.empty() || name.size() > 259 || name.front() == '.' ||
      name.find_first_of("/\\") != std::string::npos || name.find("..") != std::string::npos) {
    return Fail("msgWaveBadName");
  }
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7f) return Fail("msgWaveBadName");
  }
  std::optional<std::string> cp932 = platform::Utf8ToCp932(name);
  if (!cp932 || cp932->size() > kMaxWaveNameBytes) return Fail("msgWaveBadName");
  if (body.size() > kMaxWaveBytes) return Fail("msgWaveTooBig");
  if (body.size() < 12 || body.compare(0, 4, "RIFF") != 0 || body.compare(8, 4, "WAVE") != 0) {
    return Fail("msgWaveNotWave");
  }
  const std::string path = common::InDir(dir, common::kWave, *cp932);
  if (!platform::WriteFileAtomic(path, body.data(), body.size())) {
    std::fprintf(stderr, "KTVarnock: cannot write %s\n", path.c_str());
    return Fail("msgWriteFailed");
  }
  *storedName = *cp932;
  return {};
}

}  // namespace console
