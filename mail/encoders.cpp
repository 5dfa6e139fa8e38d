#include "mail/encoders.h"

namespace mail {
namespace {

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kHex[] = "0123456789ABCDEF";

void AppendHex(std::string& out, unsigned char c) {
  out.push_back('=');
  out.push_back(kHex[c >> 4]);
  out.push_back(kHex[c & 15]);
}

}  // namespace

std::string Base64Encode(std::string_view data) {
  std::string out;
  out.reserve((data.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= data.size(); i += 3) {
    const uint32_t v = static_cast<unsigned char>(data[i]) << 16 |
                       static_cast<unsigned char>(data[i + 1]) << 8 |
                       static_cast<unsigned char>(data[i + 2]);
    out.push_back(kBase64[v >> 18]);
    out.push_back(kBase64[(v >> 12) & 63]);
    out.push_back(kBase64[(v >> 6) & 63]);
    out.push_back(kBase64[v & 63]);
  }
  const size_t rest = data.size() - i;
  if (rest > 0) {
    uint32_t v = static_cast<unsigned char>(data[i]) << 16;
    if (rest == 2) v |= static_cast<unsigned char>(data[i + 1]) << 8;
    out.push_back(kBase64[v >> 18]);
    out.push_back(kBase64[(v >> 12) & 63]);
    out.push_back(rest == 2 ? kBase64[(v >> 6) & 63] : '=');
    out.push_back('=');
  }
  return out;
}

std::string QuotedPrintableEncode(std::string_view data) {
  // Position after which only blanks and tabs remain: blanks there are encoded.
  size_t lastVisible = 0;
  for (size_t i = 0; i < data.size(); ++i)
    if (data[i] != ' ' && data[i] != '\t') lastVisible = i + 1;
  std::string out;
  out.reserve(data.size() * 3 / 2 + 16);
  size_t column = 0;
  for (size_t i = 0; i < data.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(data[i]);
    const size_t before = out.size();
    if ((c >= 0x21 && c <= 0x3C) || (c >= 0x3E && c <= 0x7E)) {
      out.push_back(static_cast<char>(c));
    } else if ((c == ' ' || c == '\t') && i < lastVisible) {
      out.push_back(static_cast<char>(c));
    } else {
      AppendHex(out, c);
    }
    column += out.size() - before;
    if (column > 74 && i + 1 < data.size()) {
      out += "=\n";
      column = 0;
    }
  }
  return out;
}

std::string QEncodeWord(std::string_view data) {
  std::string out;
  out.reserve(data.size() * 3);
  for (unsigned char c : data) {
    if (((c >= 0x21 && c <= 0x3C) || (c >= 0x3E && c <= 0x7E)) && c != '?' && c != '_')
      out.push_back(static_cast<char>(c));
    else
      AppendHex(out, c);
  }
  return out;
}

}  // namespace mail
