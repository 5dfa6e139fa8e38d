#include "agents/framework/alert_text.h"

#include "common/account_key.h"

namespace agents {
namespace {

constexpr size_t kMaxLanRecipient = 150;

std::string ShowCheckTime(std::string_view stamp) {
  if (stamp.size() != 14) return "";
  std::string out;
  out.reserve(19);
  out.append(stamp.substr(0, 4)).append("/").append(stamp.substr(4, 2)).append("/");
  out.append(stamp.substr(6, 2)).append(" ").append(stamp.substr(8, 2)).append(":");
  out.append(stamp.substr(10, 2)).append(":").append(stamp.substr(12, 2));
  return out;
}

}  // namespace

std::string ExpandTemplate(std::string_view tmpl, const TemplateValues& values) {
  std::string out;
  out.reserve(tmpl.size() + 64);
  for (size_t i = 0; i < tmpl.size(); ++i) {
    if (tmpl[i] == '%' && i + 1 < tmpl.size()) {
      switch (tmpl[i + 1]) {
        case 'S':
          out += common::DecodeKey(values.storedName.substr(0, 64));
          ++i;
          continue;
        case 'I':
          out += values.host;
          ++i;
          continue;
        case 'C':
          out += values.checkType;
          ++i;
          continue;
        case 'T':
          out += ShowCheckTime(values.checkTime);
          ++i;
          continue;
        case 'E':
          out += values.message;
          ++i;
          continue;
        default:
          break;
      }
    }
    out += tmpl[i];
  }
  return out;
}

void AppendListLines(std::string& to, std::string_view list) {
  size_t start = 0;
  while (start < list.size()) {
    size_t end = list.find('\n', start);
    std::string_view line =
        list.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    to.append(line).append(",");
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
}

std::string MailRecipients(bool useGeneral, std::string_view general, bool useOwn,
                           std::string_view own) {
  std::string to;
  if (useGeneral) {
    AppendListLines(to, general);
    if (!to.empty() && to.back() == ',') to.pop_back();
  }
  if (useOwn) {
    if (!to.empty()) to += ',';
    AppendListLines(to, own);
    if (!to.empty() && to.back() == ',') to.pop_back();
  }
  return to;
}

std::vector<std::string> LanRecipients(std::string_view list) {
  std::vector<std::string> out;
  size_t start = 0;
  for (size_t i = 0; i <= list.size(); ++i) {
    if (i == list.size() || list[i] == '\r' || list[i] == '\n' || list[i] == ',') {
      std::string_view piece = list.substr(start, i - start);
      if (!piece.empty() && piece.size() < kMaxLanRecipient) out.emplace_back(piece);
      start = i + 1;
    }
  }
  return out;
}

}  // namespace agents
