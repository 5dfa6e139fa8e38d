#include "console/account_csv.h"

#include <cstdlib>

#include "common/account_key.h"
#include "common/file_ops.h"
#include "common/layout.h"
#include "console/account_rules.h"
#include "console/form_rules.h"
#include "platform/codepage.h"

namespace console {
namespace {

// Whether the byte at `i` opens a double-byte character, so the byte after it is part of the
// character and never a quote or a line end. A line feed is no trail byte: a lone lead byte
// before one stays a character of its own and never joins two lines.
bool OpensPair(std::string_view text, size_t i) {
  return platform::IsSjisLeadByte(static_cast<unsigned char>(text[i])) && i + 1 < text.size() &&
         text[i + 1] != '\n';
}

void AppendText(std::string& line, const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) {
    line += text;
    return;
  }
  line += '"';
  for (char c : text) {
    if (c == '\r') continue;
    if (c == '"') line += '"';
    line += c;
  }
  line += '"';
}

void AppendNumber(std::string& line, long value) {
  line += std::to_string(value);
}

// The fields of a record in export order; texts and numbers kept apart so a number is
// never quoted.
struct Field {
  bool number;
  std::string text;
  long value;
};

std::vector<Field> FieldsOf(const common::AccountFile& a) {
  const common::AccountRecord& r = a.record;
  auto t = [](std::string s) { return Field{false, std::move(s), 0}; };
  auto n = [](long v) { return Field{true, {}, v}; };
  using common::FieldText;
  std::vector<Field> f = {
      t(common::DecodeKey(FieldText(r.key))),
      t(FieldText(r.host)),
      t(FieldText(r.popServer)),
      t(FieldText(r.pagePath)),
      n(r.pingOn),
      n(r.httpPortOn),
      n(r.httpTimeout),
      n(r.isHttpPage),
      n(r.checkLinks),
      n(r.ftpPortOn),
      n(r.isFtpTransfer),
      t(FieldText(r.remoteDir)),
      t(FieldText(r.ftpUser)),
      t(FieldText(r.ftpPassword)),
      n(r.smtpPortOn),
      n(r.popPortOn),
      n(r.sendReceiveTimeout),
      n(r.isEmail),
      t(FieldText(r.testRecipient)),
      n(r.smtpAuth),
      t(FieldText(r.smtpUser)),
      t(FieldText(r.smtpPassword)),
      t(FieldText(r.popUser)),
      t(FieldText(r.popPassword)),
      n(r.customOn),
  };
  for (int i = 0; i < 5; ++i) {
    f.push_back(t(FieldText(r.customNames[i])));
    f.push_back(n(static_cast<long>(r.customPorts[i])));
  }
  for (const std::string* s :
       {&a.downSubject, &a.upSubject, &a.downBody, &a.upBody, &a.downOnline, &a.upOnline}) {
    f.push_back(t(*s));
  }
  f.push_back(n(r.useGlobalMailTemplates));
  f.push_back(n(r.mailToGlobal));
  f.push_back(n(r.mailToAccount));
  f.push_back(t(a.mailAddresses));
  f.push_back(n(r.useGlobalOnlineTemplates));
  f.push_back(n(r.onlineToGlobal));
  f.push_back(n(r.onlineToAccount));
  f.push_back(t(a.netSendAddresses));
  f.push_back(n(r.enabled));
  f.push_back(n(r.type));
  return f;
}

// Field `no` (1-based) of a line, empty when the line is shorter.
const std::string& Text(const std::vector<std::string>& fields, int no) {
  static const std::string kEmpty;
  return no >= 1 && static_cast<size_t>(no) <= fields.size() ? fields[no - 1] : kEmpty;
}

// A field read as a decimal number: leading blanks and a sign allowed, anything else 0.
long Number(const std::vector<std::string>& fields, int no) {
  return std::strtol(Text(fields, no).c_str(), nullptr, 10);
}

template <size_t N>
void SetText(char (&field)[N], const std::string& text) {
  common::SetField(field, CutCp932(text, N - 1));
}

}  // namespace

std::string AccountCsvLine(const common::AccountFile& account) {
  std::string line;
  bool first = true;
  for (const Field& f : FieldsOf(account)) {
    if (!first) line += ',';
    first = false;
    if (f.number) {
      AppendNumber(line, f.value);
    } else {
      AppendText(line, f.text);
    }
  }
  return line;
}

std::optional<std::string_view> NextCsvLine(std::string_view text, size_t* pos) {
  const size_t start = *pos;
  if (start >= text.size()) return std::nullopt;
  bool quoted = false;
  for (size_t i = start; i < text.size(); ++i) {
    const char c = text[i];
    if (OpensPair(text, i)) {
      ++i;  // the trail byte is part of the character
      continue;
    }
    if (c == '"') {
      quoted = !quoted;
    } else if (c == '\n' && !quoted) {
      size_t end = i;
      if (end > start && text[end - 1] == '\r') --end;
      *pos = i + 1;
      return text.substr(start, end - start);
    }
  }
  *pos = text.size();
  return text.substr(start);
}

std::vector<std::string_view> SplitCsvLines(std::string_view text) {
  std::vector<std::string_view> lines;
  size_t pos = 0;
  while (auto line = NextCsvLine(text, &pos)) lines.push_back(*line);
  return lines;
}

std::vector<std::string> SplitCsvFields(std::string_view line) {
  std::vector<std::string> fields;
  size_t i = 0;
  for (;;) {
    std::string field;
    if (i < line.size() && line[i] == '"') {
      ++i;
      while (i < line.size()) {
        const char c = line[i];
        if (OpensPair(line, i)) {
          field.append(line.substr(i, 2));
          i += 2;
          continue;
        }
        if (c == '"') {
          if (i + 1 < line.size() && line[i + 1] == '"') {
            field += '"';
            i += 2;
            continue;
          }
          ++i;  // the closing quote
          break;
        }
        if (c == '\n') {
          field += "\r\n";
        } else if (c != '\r') {
          field += c;
        }
        ++i;
      }
    }
    // Bare text, or what follows a closing quote, up to the next separator.
    while (i < line.size() && line[i] != ',') {
      if (OpensPair(line, i)) field += line[i++];
      field += line[i++];
    }
    fields.push_back(std::move(field));
    if (i >= line.size()) break;
    ++i;  // the ","
  }
  return fields;
}

std::string CsvRejection(const std::vector<std::string>& f) {
  // Before every other test: a NUL ends the text in the record, while the blank tests below
  // still see a text there.
  for (const std::string& field : f) {
    if (field.find('\0') != std::string::npos) return "Field holds a NUL byte:";
  }
  const bool ftpTransfer = Number(f, 11) == 1 || Number(f, 51) == common::kFtpTransfer;
  const bool email = Number(f, 18) == 1 || Number(f, 51) == common::kEmail;
  const bool smtpAuth = Number(f, 20) != 0;
  const bool custom = Number(f, 25) != 0;
  bool namedWithoutPort = false;
  bool anyNamed = false;
  for (int slot = 0; slot < 5; ++slot) {
    const int nameField = 26 + 2 * slot;
    if (Text(f, nameField).empty()) continue;
    anyNamed = true;
    namedWithoutPort = namedWithoutPort || Number(f, nameField + 1) == 0;
  }
  const long type = Number(f, 51);
  const struct {
    bool rejected;
    const char* reason;
  } kTests[] = {
      {Text(f, 1).empty(), "Server name is blank:"},
      {Text(f, 2).empty(), "Server IP is blank:"},
      {Number(f, 44) == 1 && Text(f, 45).empty(), "Additional Email address is blank:"},
      {Number(f, 48) == 1 && Text(f, 49).empty(), "Additional Destination is blank:"},
      {ftpTransfer && Text(f, 13).empty(), "FTP User is blank:"},
      {email && Text(f, 19).empty(), "Test Email address is blank:"},
      {email && Text(f, 23).empty(), "POP User ID is blank:"},
      {email && Text(f, 24).empty(), "POP User Password is blank:"},
      {email && smtpAuth && Text(f, 21).empty(), "SMTP User ID is blank:"},
      {email && smtpAuth && Text(f, 22).empty(), "SMTP User Password is blank:"},
      {custom && namedWithoutPort, "Custom Port Number is blank:"},
      {custom && !anyNamed, "Service Name is blank:"},
      // A type outside 0-3 would store a damaged account that no dialog can open.
      {type < common::kServer || type > common::kEmail, "Account type is not valid:"},
  };
  for (const auto& test : kTests) {
    if (test.rejected) return test.reason;
  }
  return CsvRuleRejection(f);
}

common::AccountFile AccountFromCsv(const std::vector<std::string>& f, const std::string& dir) {
  common::AccountFile a;
  common::AccountRecord& r = a.record;
  auto flag = [&f](int no) { return static_cast<uint8_t>(Number(f, no)); };
  auto seconds = [&f](int no) { return static_cast<uint16_t>(Number(f, no)); };
  // The name is cut where the dialogs cut it, at a character boundary: a key ending in half a
  // character would decode to a shorter name, and saving that name renames the account.
  common::SetField(r.key, common::HexKey(CutCp932(Text(f, 1), common::kKeySourceBytes)));
  SetText(r.host, Text(f, 2));
  SetText(r.popServer, Text(f, 3));
  SetText(r.pagePath, Text(f, 4));
  r.pingOn = flag(5);
  r.httpPortOn = flag(6);
  r.httpTimeout = seconds(7);
  r.isHttpPage = flag(8);
  r.checkLinks = flag(9);
  r.ftpPortOn = flag(10);
  r.isFtpTransfer = flag(11);
  SetText(r.remoteDir, Text(f, 12));
  SetText(r.ftpUser, Text(f, 13));
  SetText(r.ftpPassword, Text(f, 14));
  r.smtpPortOn = flag(15);
  r.popPortOn = flag(16);
  r.sendReceiveTimeout = seconds(17);
  r.isEmail = flag(18);
  SetText(r.testRecipient, Text(f, 19));
  r.smtpAuth = flag(20);
  SetText(r.smtpUser, Text(f, 21));
  SetText(r.smtpPassword, Text(f, 22));
  SetText(r.popUser, Text(f, 23));
  SetText(r.popPassword, Text(f, 24));
  r.customOn = flag(25);
  for (int slot = 0; slot < 5; ++slot) {
    SetText(r.customNames[slot], Text(f, 26 + 2 * slot));
    r.customPorts[slot] = static_cast<uint32_t>(Number(f, 27 + 2 * slot));
  }
  std::string* texts[] = {&a.downSubject, &a.upSubject,  &a.downBody,
                          &a.upBody,      &a.downOnline, &a.upOnline};
  for (int i = 0; i < 6; ++i) *texts[i] = CutCp932(Text(f, 36 + i), kMaxLongText);
  r.useGlobalMailTemplates = flag(42);
  r.mailToGlobal = flag(43);
  r.mailToAccount = flag(44);
  a.mailAddresses = CutCp932(Text(f, 45), kMaxLongText);
  r.useGlobalOnlineTemplates = flag(46);
  r.onlineToGlobal = flag(47);
  r.onlineToAccount = flag(48);
  a.netSendAddresses = CutCp932(Text(f, 49), kMaxLongText);
  r.enabled = flag(50);
  r.type = flag(51);
  r.httpPort = 80;
  r.ftpPort = 21;
  r.smtpPort = 25;
  r.popPort = 110;
  common::SetField(r.localTestFile, common::InDir(dir, common::kTemp, "FTP_test.text"));
  return a;
}

bool CsvTextToCp932(std::string* text) {
  static constexpr std::string_view kBom = "\xEF\xBB\xBF";
  if (text->compare(0, kBom.size(), kBom) != 0) return true;
  auto converted = platform::Utf8ToCp932(std::string_view(*text).substr(kBom.size()));
  if (!converted) return false;
  *text = std::move(*converted);
  return true;
}

}  // namespace console
