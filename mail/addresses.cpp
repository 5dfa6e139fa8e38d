#include "mail/addresses.h"

#include "mail/header_text.h"
#include "platform/codepage.h"

namespace mail {
namespace {

constexpr size_t kMaxEnvelopeEntry = 80;

bool Lead(char c) {
  return platform::IsSjisLeadByte(static_cast<unsigned char>(c));
}

}  // namespace

std::vector<std::string> BareAddresses(std::string_view list) {
  // First pass: "<" drops the display name copied since the last comma, ">" is left out.
  std::string reduced;
  size_t lastComma = 0;  // position in `reduced` just after the last comma
  for (size_t i = 0; i < list.size(); ++i) {
    const char c = list[i];
    if (Lead(c) && i + 1 < list.size()) {
      reduced.append(list.substr(i, 2));
      ++i;
      continue;
    }
    if (c == ',') {
      reduced.push_back(',');
      lastComma = reduced.size();
    } else if (c == '<') {
      reduced.resize(lastComma);
    } else if (c != '>') {
      reduced.push_back(c);
    }
  }
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= reduced.size()) {
    size_t comma = reduced.find(',', start);
    if (comma == std::string::npos) comma = reduced.size();
    std::string entry;
    for (size_t i = start; i < comma; ++i)
      if (reduced[i] != ' ' && reduced[i] != '\t') entry.push_back(reduced[i]);
    if (entry.size() >= kMaxEnvelopeEntry) break;
    if (!entry.empty()) out.push_back(entry);
    start = comma + 1;
  }
  return out;
}

std::vector<std::string> EnvelopeRecipients(std::string_view to, std::string_view cc) {
  std::vector<std::string> out = BareAddresses(to);
  for (std::string& a : BareAddresses(cc)) out.push_back(std::move(a));
  return out;
}

std::string EnvelopeSender(std::string_view from) {
  std::string word;
  size_t atCount = 0;
  std::string wordAddress;  // the first word with exactly one "@"
  bool haveWord = false;
  auto endWord = [&] {
    if (!haveWord && atCount == 1 && !word.empty()) {
      wordAddress = word;
      haveWord = true;
    }
    word.clear();
    atCount = 0;
  };
  for (size_t i = 0; i < from.size(); ++i) {
    const char c = from[i];
    if (Lead(c) && i + 1 < from.size()) {
      word.append(from.substr(i, 2));
      ++i;
      continue;
    }
    if (c == '(') {  // comment, possibly nested
      int depth = 1;
      while (++i < from.size() && depth > 0) {
        if (Lead(from[i]) && i + 1 < from.size()) {
          ++i;
        } else if (from[i] == '\\') {
          ++i;
        } else if (from[i] == '(') {
          ++depth;
        } else if (from[i] == ')') {
          --depth;
        }
      }
      --i;
      endWord();
      continue;
    }
    if (c == '"') {  // quoted display name
      while (++i < from.size() && from[i] != '"') {
        if ((Lead(from[i]) || from[i] == '\\') && i + 1 < from.size()) ++i;
      }
      endWord();
      continue;
    }
    if (c == '<') {
      std::string address;
      while (++i < from.size() && from[i] != '>') {
        if (Lead(from[i]) && i + 1 < from.size()) address.push_back(from[i++]);
        address.push_back(from[i]);
      }
      return address;
    }
    if (c == ' ' || c == ',' || c == '\t') {
      endWord();
      continue;
    }
    if (c == '@') ++atCount;
    word.push_back(c);
  }
  endWord();
  return haveWord ? wordAddress : std::string(from);
}

std::string AddressHeaderText(std::string_view text, int charset) {
  std::string out;
  size_t mark = 0;  // start of the text not yet written
  auto flushRaw = [&](size_t end) {
    out.append(text.substr(mark, end - mark));
    mark = end;
  };
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (Lead(c) && i + 1 < text.size()) {
      ++i;
      continue;
    }
    if (c == '<') {
      // The display name: leading blanks stay as they are, the name itself is encoded,
      // and the blank before "<" is kept outside the encoded text.
      size_t nameStart = mark;
      while (nameStart < i && (text[nameStart] == ' ' || text[nameStart] == '\t')) ++nameStart;
      size_t nameEnd = i;
      while (nameEnd > nameStart && (text[nameEnd - 1] == ' ' || text[nameEnd - 1] == '\t'))
        --nameEnd;
      out.append(text.substr(mark, nameStart - mark));
      out += EncodeHeaderText(text.substr(nameStart, nameEnd - nameStart), charset);
      out.append(text.substr(nameEnd, i - nameEnd));
      mark = i;
      // Copy the address up to ">" as it is.
      size_t close = text.find('>', i);
      close = close == std::string_view::npos ? text.size() : close + 1;
      flushRaw(close);
      i = close - 1;
      continue;
    }
    if (c == ',') {
      flushRaw(i);
      const bool afterBracket = i > 0 && text[i - 1] == '>';
      out += afterBracket ? "," : ",\n\t";
      mark = i + 1;
    }
  }
  flushRaw(text.size());
  return out;
}

}  // namespace mail
