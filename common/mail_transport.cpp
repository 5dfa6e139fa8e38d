#include "common/mail_transport.h"

#include <cctype>

#include "common/layout.h"
#include "platform/ini.h"

namespace common {
namespace {

constexpr const char* kAbsent = "\x01";  // no value of a settings file holds this byte

std::string Lower(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == ' ' || c == '\t') continue;
    out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return out;
}

MailServerTransport ReadServer(const std::string& ini, const char* portKey,
                               const char* securityKey) {
  MailServerTransport out;
  const std::string security = platform::IniGetString(ini, kIniSection, securityKey, "");
  if (std::optional<MailSecurity> s = ParseMailSecurity(security)) {
    out.security = *s;
  } else {
    out.problem = std::string(securityKey) + "=" + security + " is not none, starttls or tls";
  }
  out.port = DefaultMailPort(out.security);
  const std::string port = platform::IniGetString(ini, kIniSection, portKey, "");
  if (!port.empty()) {
    long value = 0;
    size_t digits = 0;
    for (char c : port) {
      if (!std::isdigit(static_cast<unsigned char>(c)) || ++digits > 5) {
        value = -1;
        break;
      }
      value = value * 10 + (c - '0');
    }
    if (value >= 1 && value <= 65535) {
      out.port = static_cast<uint16_t>(value);
    } else if (out.problem.empty()) {
      out.problem = std::string(portKey) + "=" + port + " is not a port from 1 to 65535";
    }
  }
  return out;
}

bool SetKey(const std::string& ini, const char* key, const std::string& value,
            const std::string& defaultValue) {
  if (value == defaultValue && platform::IniGetString(ini, kIniSection, key, kAbsent) == kAbsent)
    return true;
  return platform::IniSetString(ini, kIniSection, key, value);
}

bool WriteServer(const std::string& ini, const char* portKey, const char* securityKey,
                 const MailServerTransport& server) {
  // Keys that could not be read stay as they are, for the administrator to see and mend:
  // writing the fallback would turn a mistyped "startls" into a plain connection.
  if (!server.problem.empty()) return true;
  bool ok = SetKey(ini, securityKey, MailSecurityName(server.security), "none");
  return SetKey(ini, portKey, std::to_string(server.port),
                std::to_string(DefaultMailPort(server.security))) &&
         ok;
}

}  // namespace

const char* MailSecurityName(MailSecurity security) {
  switch (security) {
    case MailSecurity::kStartTls:
      return "starttls";
    case MailSecurity::kTls:
      return "tls";
    case MailSecurity::kNone:
      break;
  }
  return "none";
}

std::optional<MailSecurity> ParseMailSecurity(std::string_view text) {
  const std::string t = Lower(text);
  if (t.empty() || t == "none" || t == "0") return MailSecurity::kNone;
  if (t == "starttls" || t == "1") return MailSecurity::kStartTls;
  if (t == "tls" || t == "2" || t == "ssl" || t == "implicit") return MailSecurity::kTls;
  return std::nullopt;
}

uint16_t DefaultMailPort(MailSecurity security) {
  return security == MailSecurity::kTls ? 465 : 25;
}

AlertMailTransport ReadAlertMailTransport(const std::string& programDir) {
  const std::string ini = IniPath(programDir);
  AlertMailTransport out;
  out.primary = ReadServer(ini, "MAILPORT", "MAILSECURITY");
  out.alternate = ReadServer(ini, "ALTMAILPORT", "ALTMAILSECURITY");
  out.verify = platform::IniGetString(ini, kIniSection, "MAILVERIFY", "1") != "0";
  out.caFile = platform::IniGetString(ini, kIniSection, "TLSCAFILE", "");
  return out;
}

bool WriteAlertMailTransport(const std::string& programDir, const AlertMailTransport& t) {
  const std::string ini = IniPath(programDir);
  bool ok = WriteServer(ini, "MAILPORT", "MAILSECURITY", t.primary);
  ok = WriteServer(ini, "ALTMAILPORT", "ALTMAILSECURITY", t.alternate) && ok;
  ok = SetKey(ini, "MAILVERIFY", t.verify ? "1" : "0", "1") && ok;
  return SetKey(ini, "TLSCAFILE", t.caFile, "") && ok;
}

}  // namespace common
