#include "console/account_form.h"

#include <algorithm>

#include "common/account_key.h"
#include "common/file_ops.h"
#include "common/layout.h"
#include "console/account_rules.h"
#include "console/form_values.h"
#include "console/text_convert.h"

namespace console {
namespace {

using nlohmann::json;

FormError Fail(const char* key) {
  return {key, ""};
}

bool Blank(const std::optional<std::string>& typed, const char* storedField) {
  if (typed) return typed->empty();
  return storedField == nullptr || storedField[0] == '\0';
}

uint16_t TimeoutOf(const std::string& text) {
  return static_cast<uint16_t>(std::min<long>(DecimalOf(text), 65535));
}

// A digits-only field (time-out, port): empty reads 0; anything but digits, or a value above
// `max`, is out of range (the field would otherwise store a cut or changed number).
bool DigitsInRange(const std::string& text, long long max) {
  if (text.empty()) return true;
  return text.find_first_not_of("0123456789") == std::string::npos &&
         DecimalIn(text, 0, max).valid();
}

json Utf8Array(std::initializer_list<const std::string*> texts) {
  json a = json::array();
  for (const std::string* t : texts) a.push_back(ToUtf8(*t));
  return a;
}

}  // namespace

CustomRows ParseCustomRows(const json& rows, FormError* error) {
  CustomRows out;
  if (!rows.is_array()) return out;
  for (size_t i = 0; i < rows.size() && i < out.size(); ++i) {
    if (!rows[i].is_object()) continue;
    FormReader r(rows[i]);
    out[i].name =
        r.Text("name", common::FieldOf(common::CustomNameField(0)).limit, "lblServiceName");
    const json& port = rows[i].value("port", json());
    if (port.is_string()) {
      out[i].port = DecimalOf(port.get<std::string>());
      out[i].portInRange = DigitsInRange(port.get<std::string>(), kMaxPort);
    } else if (!port.is_null()) {
      const CheckedNumber n = NumberIn(port, 0, kMaxPort);
      // A refused number still reads as set or unset for the sub-dialog's own checks.
      out[i].port = n.valid()                      ? static_cast<long>(n.value)
                    : port.is_number() && port > 0 ? 99999
                                                   : 0;
      out[i].portInRange = n.valid();
    }
    if (!r.failedLabel().empty() && error->ok()) *error = {"msgNotCp932", r.failedLabel()};
  }
  return out;
}

FormError ParseAccountForm(const json& body, AccountForm* f) {
  FormReader r(body);
  FormError error;
  const CheckedNumber type = NumberAt(body, "type", common::kServer, common::kEmail);
  if (!type.valid()) return {"msgBadRequest", ""};
  f->type = static_cast<int>(type.value);
  const int t = f->type;
  static const AccountForm kNew;
  // The controls of each type's dialog; the others stay empty or off.
  for (const common::AccountField& field : common::AccountFields()) {
    const bool shown = field.shownFor(t);
    // An option a request leaves out keeps its default (an older page, --setup).
    if (field.sideFile && !body.contains(field.jsonKey)) continue;
    switch (field.control) {
      case common::Control::kNone:
        break;
      case common::Control::kText: {
        const size_t limit = field.id == common::Field::kHost && t == common::kHttpPage
                                 ? common::kPageUrlLimit
                                 : field.limit;
        f->*field.formText = shown ? r.Text(field.jsonKey, limit, field.labelKey) : "";
        break;
      }
      case common::Control::kDigits:
        if (shown) f->*field.formText = r.Text(field.jsonKey, field.limit, field.labelKey);
        break;
      case common::Control::kPassword:
        f->*field.formPassword =
            shown ? r.Password(field.jsonKey, field.limit, field.labelKey) : std::nullopt;
        break;
      case common::Control::kFlag:
        f->*field.formFlag = shown && r.Flag(field.jsonKey, kNew.*field.formFlag);
        break;
    }
  }
  if (auto m = body.find("mailTemplates"); m != body.end() && m->is_array() && m->size() == 4) {
    FormReader tr(json::object({{"0", (*m)[0]}, {"1", (*m)[1]}, {"2", (*m)[2]}, {"3", (*m)[3]}}));
    f->mailTemplates = {tr.Text("0", kMaxLongText, "titleNotification"),
                        tr.Text("1", kMaxLongText, "titleNotification"),
                        tr.Text("2", kMaxLongText, "titleNotification"),
                        tr.Text("3", kMaxLongText, "titleNotification")};
    if (!tr.failedLabel().empty()) error = {"msgNotCp932", tr.failedLabel()};
  }
  if (auto o = body.find("onlineTemplates"); o != body.end() && o->is_array() && o->size() == 2) {
    FormReader tr(json::object({{"0", (*o)[0]}, {"1", (*o)[1]}}));
    f->onlineTemplates = {tr.Text("0", kMaxLongText, "titleOnline"),
                          tr.Text("1", kMaxLongText, "titleOnline")};
    if (!tr.failedLabel().empty() && error.ok()) error = {"msgNotCp932", tr.failedLabel()};
  }
  if (t == common::kServer && body.contains("customRows")) {
    f->rows = ParseCustomRows(body["customRows"], &error);
  }
  if (!r.failedLabel().empty()) return {"msgNotCp932", r.failedLabel()};
  return error;
}

FormError ValidateCustomRows(const CustomRows& rows) {
  for (size_t i = 0; i < rows.size(); ++i) {
    const CustomRow& row = rows[i];
    if (!row.name.empty() && row.port == 0) return Fail("msgPortZero");
    if (row.port != 0 && row.name.empty()) return Fail("msgServiceBlank");
    for (size_t j = i + 1; j < rows.size(); ++j) {
      if (!row.name.empty() && row.name == rows[j].name) return Fail("msgServiceDup");
      if (row.port != 0 && row.port == rows[j].port) return Fail("msgPortDup");
    }
  }
  for (const CustomRow& row : rows) {
    if (!row.portInRange) return Fail("msgCustomPortRange");
  }
  return {};
}

namespace {

// What one test of the dialog looks at.
struct FormView {
  const AccountForm& f;
  const common::AccountRecord* stored;
  std::string host;  // the Domain/IP field; for an HTTP Page Check its host part
  bool is(int type) const { return f.type == type; }
};

struct FormCheck {
  bool (*fails)(const FormView&);
  const char* key;
};

// The dialog's tests in their order; the first that fails gives the message.
constexpr FormCheck kFormChecks[] = {
    {[](const FormView& v) { return HasHighByte(v.host) || HasHighByte(v.f.popServer); },
     "msgDomainDbcs"},
    {[](const FormView& v) { return v.f.name.empty(); }, "msgNameBlank"},
    {[](const FormView& v) { return v.host.empty(); }, "msgDomainBlank"},
    {[](const FormView& v) { return v.f.additionalEmails && v.f.additionalEmailsText.empty(); },
     "msgAddEmailBlank"},
    {[](const FormView& v) {
       return v.f.additionalEmails && !AddressListValid(v.f.additionalEmailsText);
     },
     "msgAddEmailBad"},
    {[](const FormView& v) { return v.f.additionalDest && v.f.additionalDestText.empty(); },
     "msgAddDestBlank"},
    {[](const FormView& v) { return v.is(common::kFtpTransfer) && v.f.ftpUser.empty(); },
     "msgFtpUserBlank"},
    {[](const FormView& v) { return v.is(common::kEmail) && v.f.testRecipient.empty(); },
     "msgRecipientBlank"},
    {[](const FormView& v) { return v.is(common::kEmail) && v.f.popUser.empty(); },
     "msgPopUserBlank"},
    {[](const FormView& v) {
       return v.is(common::kEmail) &&
              Blank(v.f.popPassword, v.stored ? v.stored->popPassword : nullptr);
     },
     "msgPopPasswordBlank"},
    {[](const FormView& v) { return v.is(common::kEmail) && v.f.smtpAuth && v.f.smtpUser.empty(); },
     "msgSmtpUserBlank"},
    {[](const FormView& v) {
       return v.is(common::kEmail) && v.f.smtpAuth &&
              Blank(v.f.smtpPassword, v.stored ? v.stored->smtpPassword : nullptr);
     },
     "msgSmtpPasswordBlank"},
    {[](const FormView& v) {
       if (!v.is(common::kServer) || !v.f.custom) return false;
       for (const CustomRow& row : v.f.rows) {
         if (!row.name.empty() && row.port == 0) return true;
       }
       return false;
     },
     "msgCustomPortBlank"},
    {[](const FormView& v) {
       if (!v.is(common::kServer) || !v.f.custom) return false;
       for (const CustomRow& row : v.f.rows) {
         if (!row.name.empty()) return false;
       }
       return true;
     },
     "msgCustomNameBlank"},
};

}  // namespace

AccountFacts FormFacts(const AccountForm& f) {
  AccountFacts a;
  a.account = BuildAccount(f, "", {}, nullptr);
  a.type = f.type;
  a.name = f.name;
  if (f.type == common::kHttpPage) {
    PageUrl url = SplitPageUrl(f.domain);
    a.host = url.host;
    a.pagePath = url.path;
  } else {
    a.host = f.domain;
  }
  a.popServer = f.popServer;
  a.remoteDir = f.remoteDir;
  if (f.additionalEmails) a.additionalEmails = f.additionalEmailsText;
  a.checksSomething =
      f.type != common::kServer || f.ping || f.http || f.ftp || f.smtp || f.pop || f.custom;
  for (const CustomRow& row : f.rows)
    a.customPortsInRange = a.customPortsInRange && row.portInRange;
  a.httpTimeoutInRange =
      f.type != common::kHttpPage || DigitsInRange(f.httpTimeout, kMaxHttpTimeout);
  a.emailTimeoutInRange =
      f.type != common::kEmail || DigitsInRange(f.emailTimeout, kMaxEmailTimeout);
  // The side file's options of the type's dialog: an empty port is its default.
  for (const common::AccountField& field : common::AccountFields()) {
    if (!field.sideFile || !field.shownFor(f.type) || !field.formText) continue;
    a.outOfRange.set(static_cast<size_t>(field.id),
                     !common::OptionTextFits(field, f.*field.formText));
  }
  return a;
}

FormError ValidateAccountForm(const AccountForm& f, const common::AccountFile* stored) {
  const FormView view{f, stored ? &stored->record : nullptr,
                      f.type == common::kHttpPage ? SplitPageUrl(f.domain).host : f.domain};
  for (const FormCheck& check : kFormChecks) {
    if (check.fails(view)) return Fail(check.key);
  }
  if (f.type == common::kServer) {
    // The sub-dialog never lets such rows through; a request that skipped it gets its answer.
    FormError rows = ValidateCustomRows(f.rows);
    if (!rows.ok()) return rows;
  }
  if (const AccountRule* rule = FirstFailedRule(FormFacts(f))) return Fail(rule->messageKey);
  return {};
}

common::AccountFile BuildAccount(const AccountForm& f, const std::string& dir,
                                 const common::AlertFile& alert,
                                 const common::AccountFile* stored) {
  common::AccountFile a = common::NewAccount(f.type, dir);
  for (const common::AccountField& field : common::AccountFields()) {
    // Options the type's dialog does not show, and empty ports, keep their defaults.
    if (field.sideFile && (!field.shownFor(f.type) || (field.control == common::Control::kDigits &&
                                                       (f.*field.formText).empty()))) {
      continue;
    }
    switch (field.control) {
      case common::Control::kNone:
        break;
      case common::Control::kText:
        field.setText(a, f.*field.formText);
        break;
      case common::Control::kDigits:
        if (field.shownFor(f.type)) field.setValue(a, TimeoutOf(f.*field.formText));
        break;
      case common::Control::kPassword: {
        // Left untouched: the stored one.
        const std::optional<std::string>& typed = f.*field.formPassword;
        field.setText(a, typed ? *typed : stored ? field.text(*stored) : "");
        break;
      }
      case common::Control::kFlag:
        field.setValue(a, f.*field.formFlag ? 1 : 0);
        break;
    }
  }
  common::AccountRecord& r = a.record;
  if (f.type == common::kHttpPage) {
    PageUrl url = SplitPageUrl(f.domain);
    common::SetField(r.host, url.host);
    common::SetField(r.pagePath, url.path);
    // A scheme in the URL decides HTTPS, a port in it the port.
    if (url.scheme) a.options.secure = url.https;
    if (url.port != 0) a.options.port = static_cast<int32_t>(url.port);
  }
  common::SettlePorts(a);
  for (size_t i = 0; i < f.rows.size(); ++i) {
    common::SetField(r.customNames[i], f.rows[i].name);
    r.customPorts[i] = static_cast<uint32_t>(f.rows[i].port);
  }

  if (f.mailTemplates) {
    a.downSubject = (*f.mailTemplates)[0];
    a.upSubject = (*f.mailTemplates)[1];
    a.downBody = (*f.mailTemplates)[2];
    a.upBody = (*f.mailTemplates)[3];
  } else if (stored) {
    a.downSubject = stored->downSubject;
    a.upSubject = stored->upSubject;
    a.downBody = stored->downBody;
    a.upBody = stored->upBody;
  } else {
    a.downSubject = alert.downSubject;
    a.upSubject = alert.upSubject;
    a.downBody = alert.downBody;
    a.upBody = alert.upBody;
  }
  if (f.onlineTemplates) {
    a.downOnline = (*f.onlineTemplates)[0];
    a.upOnline = (*f.onlineTemplates)[1];
  } else if (stored) {
    a.downOnline = stored->downOnline;
    a.upOnline = stored->upOnline;
  } else {
    a.downOnline = alert.downOnline;
    a.upOnline = alert.upOnline;
  }
  return a;
}

json FormLimits(int type) {
  json limits = json::object();
  for (const common::AccountField& field : common::AccountFields()) {
    if (field.control == common::Control::kNone || field.control == common::Control::kFlag ||
        !field.shownFor(type)) {
      continue;
    }
    limits[field.jsonKey] = field.limit;
  }
  if (type == common::kHttpPage) limits["domain"] = common::kPageUrlLimit;
  if (type == common::kServer) {
    limits["customName"] = common::FieldOf(common::CustomNameField(0)).limit;
    limits["customPort"] = common::kPortDigits;
  }
  return limits;
}

json AccountFormJson(const common::AccountFile& a) {
  const common::AccountRecord& r = a.record;
  json form = json::object();
  for (const common::AccountField& field : common::AccountFields()) {
    switch (field.control) {
      case common::Control::kNone:
        break;
      case common::Control::kText:
        form[field.jsonKey] = ToUtf8(field.text(a));
        break;
      case common::Control::kDigits:
        form[field.jsonKey] = std::to_string(field.value(a));
        break;
      case common::Control::kPassword:
        form[std::string(field.jsonKey) + "Stored"] = !field.text(a).empty();
        break;
      case common::Control::kFlag:
        form[field.jsonKey] = field.onlyOne ? field.value(a) == 1 : field.value(a) != 0;
        break;
    }
  }
  // A port at its default shows empty, so the field follows SECURE and TLSMODE.
  common::AccountFile settled = a;
  settled.options.port = 0;
  settled.options.popPort = 0;
  common::SettlePorts(settled);
  if (a.options.port == 0 || a.options.port == settled.options.port) form["port"] = "";
  if (a.options.popPort == 0 || a.options.popPort == settled.options.popPort) form["popPort"] = "";
  const bool ownPort = form["port"] != "";
  if (r.type == common::kHttpPage && (a.options.secure || ownPort)) {
    // The URL says what the agent reads: the scheme, and a port that is not the default.
    form["domain"] = ToUtf8(
        (a.options.secure ? "https://" : "http://") + common::FieldText(r.host) +
        (ownPort ? ":" + std::to_string(a.options.port) : "") + common::FieldText(r.pagePath));
    form["port"] = "";
  } else if (r.type == common::kHttpPage && common::FieldText(r.pagePath) != "/") {
    form["domain"] = ToUtf8(common::FieldText(r.host) + common::FieldText(r.pagePath));
  }
  json rows = json::array();
  for (int i = 0; i < 5; ++i) {
    rows.push_back({{"name", ToUtf8(common::FieldText(r.customNames[i]))},
                    {"port", r.customPorts[i] ? std::to_string(r.customPorts[i]) : ""}});
  }
  form["type"] = r.type;
  form["key"] = common::FieldText(r.key);
  form["customRows"] = rows;
  form["mailTemplates"] = Utf8Array({&a.downSubject, &a.upSubject, &a.downBody, &a.upBody});
  form["onlineTemplates"] = Utf8Array({&a.downOnline, &a.upOnline});
  form["limits"] = FormLimits(r.type);
  return form;
}

json NewAccountFormJson(int type, const common::AlertFile& alert) {
  AccountForm f;
  f.type = type;
  common::AccountFile a = BuildAccount(f, "", alert, nullptr);
  json form = AccountFormJson(a);
  form["key"] = "";
  // The time-out fields show their defaults, not the zero the other types store.
  for (const common::AccountField& field : common::AccountFields()) {
    if (field.control == common::Control::kDigits) form[field.jsonKey] = f.*field.formText;
  }
  return form;
}

std::string ServiceSummary(const common::AccountRecord& r, bool secure) {
  switch (r.type) {
    case common::kHttpPage:
      return secure ? "HTTPS Page Check" : "HTTP Page Check";
    case common::kFtpTransfer:
      return secure ? "FTPS File Transfer" : "FTP File Transfer";
    case common::kEmail:
      return "Email Send/Receive";
    case common::kServer:
      break;
    default:
      return "";
  }
  std::string s;
  if (r.pingOn) s += "PING";
  if (r.httpPortOn) s += ",HTTP";
  if (r.ftpPortOn) s += ",FTP";
  if (r.isFtpTransfer) s += ",FTP Transfer";
  if (r.smtpPortOn) s += ",SMTP";
  if (r.popPortOn) s += ",POP";
  if (r.isEmail) s += ",SMTP Send,POP Receive";
  if (r.customOn) s += ",CUSTOM";
  return s;
}

}  // namespace console
