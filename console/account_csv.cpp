#include "console/account_csv.h"

#include <cstdlib>

#include "common/account_fields.h"
#include "common/account_key.h"
#include "common/file_ops.h"
#include "common/layout.h"
#include "console/account_rules.h"
#include "console/form_values.h"
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

// Field `id` of a line read as a decimal number: leading blanks and a sign allowed, anything
// else 0.
long Number(const std::vector<std::string>& fields, common::Field id) {
  return std::strtol(common::CsvValue(fields, id).c_str(), nullptr, 10);
}

const std::string& Text(const std::vector<std::string>& fields, common::Field id) {
  return common::CsvValue(fields, id);
}

}  // namespace

std::string AccountCsvLine(const common::AccountFile& account) {
  std::string line;
  bool first = true;
  const bool options = common::HasOwnOptions(account);
  // Numbers and flags are never quoted.
  for (const common::AccountField& field : common::AccountFields()) {
    if (field.sideFile && !options) break;
    if (!first) line += ',';
    first = false;
    if (field.number) {
      line += std::to_string(field.value(account));
    } else {
      AppendText(line, field.text(account));
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
  using common::Field;
  const bool ftpTransfer =
      Number(f, Field::kIsFtpTransfer) == 1 || Number(f, Field::kType) == common::kFtpTransfer;
  const bool email = Number(f, Field::kIsEmail) == 1 || Number(f, Field::kType) == common::kEmail;
  const bool smtpAuth = Number(f, Field::kSmtpAuth) != 0;
  const bool custom = Number(f, Field::kCustomOn) != 0;
  bool namedWithoutPort = false;
  bool anyNamed = false;
  for (int slot = 0; slot < 5; ++slot) {
    if (Text(f, common::CustomNameField(slot)).empty()) continue;
    anyNamed = true;
    namedWithoutPort = namedWithoutPort || Number(f, common::CustomPortField(slot)) == 0;
  }
  const long type = Number(f, Field::kType);
  auto blank = [&f](Field id) { return Text(f, id).empty(); };
  const struct {
    bool rejected;
    const char* reason;
  } kTests[] = {
      {blank(Field::kName), "Server name is blank:"},
      {blank(Field::kHost), "Server IP is blank:"},
      {Number(f, Field::kMailToAccount) == 1 && blank(Field::kMailAddresses),
       "Additional Email address is blank:"},
      {Number(f, Field::kOnlineToAccount) == 1 && blank(Field::kNetSendAddresses),
       "Additional Destination is blank:"},
      {ftpTransfer && blank(Field::kFtpUser), "FTP User is blank:"},
      {email && blank(Field::kTestRecipient), "Test Email address is blank:"},
      {email && blank(Field::kPopUser), "POP User ID is blank:"},
      {email && blank(Field::kPopPassword), "POP User Password is blank:"},
      {email && smtpAuth && blank(Field::kSmtpUser), "SMTP User ID is blank:"},
      {email && smtpAuth && blank(Field::kSmtpPassword), "SMTP User Password is blank:"},
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
  // The type and its flags come from their columns like everything else.
  common::AccountFile a = common::NewAccount(common::kServer, dir);
  for (const common::AccountField& field : common::AccountFields()) {
    if (field.sideFile && Text(f, field.id).empty()) continue;  // the default
    if (field.number) {
      field.setValue(a, Number(f, field.id));
    } else {
      field.setText(a, Text(f, field.id));
    }
  }
  common::SettlePorts(a);
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
