#include "platform/ini.h"

#include <strings.h>

#include <cstdlib>
#include <optional>
#include <vector>

#include "platform/files.h"

namespace platform {
namespace {

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos) nl = text.size();
    std::string line = text.substr(start, nl - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    start = nl + 1;
  }
  return lines;
}

bool SameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strcasecmp(a.c_str(), b.c_str()) == 0;
}

// The section name when the line is a section header.
std::optional<std::string> SectionOf(const std::string& line) {
  std::string t = Trim(line);
  if (t.size() >= 2 && t.front() == '[' && t.back() == ']') return Trim(t.substr(1, t.size() - 2));
  return std::nullopt;
}

// The key name when the line is a key line.
std::optional<std::string> KeyOf(const std::string& line, std::string* value) {
  size_t eq = line.find('=');
  if (eq == std::string::npos) return std::nullopt;
  std::string t = Trim(line);
  if (t.empty() || t[0] == ';') return std::nullopt;
  if (value) *value = Trim(line.substr(eq + 1));
  return Trim(line.substr(0, eq));
}

std::optional<std::string> Lookup(const std::string& path, const std::string& section,
                                  const std::string& key) {
  auto text = ReadWholeFile(path, 16u << 20);
  if (!text) return std::nullopt;
  bool inSection = false;
  for (const std::string& line : SplitLines(*text)) {
    if (auto s = SectionOf(line)) {
      inSection = SameName(*s, section);
      continue;
    }
    std::string value;
    if (inSection) {
      auto k = KeyOf(line, &value);
      if (k && SameName(*k, key)) return value;
    }
  }
  return std::nullopt;
}

}  // namespace

std::string IniGetString(const std::string& path, const std::string& section,
                         const std::string& key, const std::string& defaultValue) {
  return Lookup(path, section, key).value_or(defaultValue);
}

long IniGetInt(const std::string& path, const std::string& section, const std::string& key,
               long defaultValue) {
  auto value = Lookup(path, section, key);
  if (!value) return defaultValue;
  return std::strtol(value->c_str(), nullptr, 10);
}

bool IniSetString(const std::string& path, const std::string& section, const std::string& key,
                  const std::string& value) {
  std::vector<std::string> lines;
  if (auto text = ReadWholeFile(path, 16u << 20)) lines = SplitLines(*text);
  const std::string entry = key + "=" + value;
  bool inSection = false, done = false;
  size_t sectionEnd = std::string::npos;  // index after the section's last key line
  for (size_t i = 0; i < lines.size() && !done; ++i) {
    if (auto s = SectionOf(lines[i])) {
      inSection = SameName(*s, section);
      if (inSection) sectionEnd = i + 1;
      continue;
    }
    if (!inSection) continue;
    if (!Trim(lines[i]).empty()) sectionEnd = i + 1;
    auto k = KeyOf(lines[i], nullptr);
    if (k && SameName(*k, key)) {
      lines[i] = entry;
      done = true;
    }
  }
  if (!done) {
    if (sectionEnd == std::string::npos) {
      if (!lines.empty() && !Trim(lines.back()).empty()) lines.emplace_back();
      lines.push_back("[" + section + "]");
      lines.push_back(entry);
    } else {
      lines.insert(lines.begin() + static_cast<long>(sectionEnd), entry);
    }
  }
  std::string out;
  for (const std::string& line : lines) out += line + "\n";
  return WriteFileAtomic(path, out);
}

}  // namespace platform
