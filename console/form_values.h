// The helpers that read and check the values of the account and Setup dialogs: the
// address-list rule, the host-name rule of the mail server fields, the host rule of the
// account fields, the split of a page URL, the 36-value interval lists, the checked reading of
// numbers, and the reading of the page's texts (UTF-8) into the files' code page.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "common/account_fields.h"

namespace console {

// Additional e-mail addresses, From and To: items cut at line feeds (a CR before one is
// dropped) and commas, a last item shorter than 3 characters ignored, each item an address,
// optionally with a display name and the address in angle brackets and with parenthesised
// comments. True when every item is valid.
bool AddressListValid(std::string_view text);
// One address without display name or comments.
bool AddressValid(std::string_view address);

// Mail server names: no leading "."; only letters, digits, ".", "_" and "-"; none of ".",
// "_", "-" followed by another of them; at least one ".".
bool HostNameValid(std::string_view name);

// The host of an account ("Domain or IP", POP server): a dotted IPv4 address of four parts
// 0-255 (a text of only digits and dots is taken for one), or a name of labels made of
// letters, digits, "-" and "_", separated by "." (no empty label, none starting or ending
// with "-", at most 63 bytes each, one trailing "." allowed), or an IPv6 address (bare, or
// in brackets). A name, IPv4 address or bracketed IPv6 address may be followed by ":port"
// with a port of 1-65535. No blank, control byte or byte above 0x7F anywhere.
enum class HostVerdict { kValid, kBadHost, kBadPort };
HostVerdict CheckHost(std::string_view host);

// True when the text holds a control byte (below 0x20, or 0x7F): never in a host or a path.
bool HasControlByte(std::string_view text);
// A multi-line address list (To, additional e-mails): LF and CR LF separate items, a tab is a
// blank; any other control byte, or a CR that does not end a line, is refused.
bool ListControlsValid(std::string_view text);
// True when a non-empty text is only blanks (space, tab, the double-byte space 0x81 0x40).
bool OnlyBlanks(std::string_view text);

// A whole number the page or a file hands in, checked against its range before any use: a
// value out of range, or one that is not a whole number, is refused (never wrapped or
// clamped). Absent: no such key, a JSON null, or an empty text.
struct CheckedNumber {
  enum Status { kAbsent, kValid, kRefused } status = kAbsent;
  long long value = 0;
  bool valid() const { return status == kValid; }
  bool refused() const { return status == kRefused; }
  long long Or(long long fallback) const { return valid() ? value : fallback; }
};
CheckedNumber NumberIn(const nlohmann::json& value, long long lo, long long hi);
CheckedNumber NumberAt(const nlohmann::json& object, const char* key, long long lo, long long hi);
// Decimal text: blanks around it, an optional sign and at most 18 digits, nothing else.
CheckedNumber DecimalIn(std::string_view text, long long lo, long long hi);

// "Page URL: http://" field of an HTTP Page Check: the host is everything before the first
// "/" or "\" (at most 64 bytes), the path "/" plus everything after it (at most 254 bytes
// after the "/"), or just "/" without a separator. A URL that begins with "https://" or
// "http://" (any case) loses it, and a ":port" (1-65535) after its host goes to `port`; the
// host part keeps a port it cannot read, for the host check to refuse.
struct PageUrl {
  std::string host;
  std::string path;
  bool scheme = false;  // the URL named one
  bool https = false;
  long port = 0;  // the port the URL named, 0 when none
};
PageUrl SplitPageUrl(std::string_view url);

// True when a byte lies above 0x80 (a double-byte character in a host field).
bool HasHighByte(std::string_view text);

// The interval and day-count lists: 1, 2, 3, 4, 5, 10, 15, ..., 160.
constexpr int kListValues = 36;
int ListValue(int position);
// The position of a stored value; 4 (the value 5) when it is not in the list.
int ListPosition(int value);

// A decimal number as the dialogs read it: leading digits only, anything else 0; at most
// `digits` digits are read (the field's limit).
long DecimalOf(std::string_view text, int digits = 5);

using common::CutCp932;

// Reads the texts of a request. Each text arrives as UTF-8 and is stored as CP932, cut to
// the control's limit; a text CP932 cannot hold, or a value that is not a string, is
// remembered as the first failure (with the label key of its control) and reads as "".
class FormReader {
 public:
  // Keeps its own copy of the request's object, so a temporary may be passed.
  explicit FormReader(nlohmann::json body) : body_(std::move(body)) {}
  std::string Text(const char* key, size_t limit, const char* labelKey);
  // A password field: nothing when the request leaves the stored password as it is.
  std::optional<std::string> Password(const char* key, size_t limit, const char* labelKey);
  bool Flag(const char* key, bool fallback = false) const;
  const nlohmann::json& body() const { return body_; }
  // The label key of the first text that could not be read ("" when all were fine).
  const std::string& failedLabel() const { return failedLabel_; }

 private:
  std::string Convert(const nlohmann::json& value, size_t limit, const char* labelKey);
  nlohmann::json body_;
  std::string failedLabel_;
};

using common::kMaxLongText;

}  // namespace console
