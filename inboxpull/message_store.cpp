#include "inboxpull/message_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform/files.h"

namespace inboxpull {
namespace {

constexpr int kMaxSuffix = 999;

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  }
  return true;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
    s.remove_suffix(1);
  return s;
}

}  // namespace

std::string FindMessageId(std::string_view headers) {
  constexpr std::string_view kName = "message-id:";
  size_t pos = 0;
  while (pos < headers.size()) {
    size_t end = headers.find('\n', pos);
    if (end == std::string_view::npos) end = headers.size();
    std::string_view line = headers.substr(pos, end - pos);
    if (Trim(line).empty()) break;  // end of the header block
    if (StartsWithNoCase(line, kName)) {
      std::string_view value = Trim(line.substr(kName.size()));
      // The value may be folded onto the next line.
      if (value.empty() && end + 1 < headers.size() &&
          (headers[end + 1] == ' ' || headers[end + 1] == '\t')) {
        size_t next = headers.find('\n', end + 1);
        if (next == std::string_view::npos) next = headers.size();
        value = Trim(headers.substr(end + 1, next - end - 1));
      }
      return std::string(value);
    }
    pos = end + 1;
  }
  return "";
}

std::string CleanId(std::string_view id) {
  if (id.size() >= 2 && id.front() == '<' && id.back() == '>') id = id.substr(1, id.size() - 2);
  std::string out;
  for (char c : id) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x80 && std::isalnum(u)) out.push_back(c);
  }
  return out;
}

std::string GeneratedId(int month, int day, int yearsSince1900, int hour, int minute, int second,
                        unsigned long counter, std::string_view localHost,
                        std::string_view server) {
  std::string host;
  for (size_t i = 0; i < localHost.size() && i < 5; ++i) {
    char two[8];
    std::snprintf(two, sizeof two, "%02d", static_cast<unsigned char>(localHost[i]) % 100);
    host += two;
  }
  char head[64];
  std::snprintf(head, sizeof head, "%02d%02d%02d%02d%02d%02d.%lu.", month, day, yearsSince1900,
                hour, minute, second, counter);
  return std::string(head) + host + "@" + std::string(server);
}

std::string SafeName(std::string_view name) {
  std::string out(name);
  for (char& c : out)
    if (c == '/' || c == '\0') c = '_';
  if (!out.empty() && out[0] == '.') out[0] = '_';
  return out;
}

std::string KnownListPath(const std::string& dir, std::string_view user, std::string_view server) {
  return platform::JoinPath(dir, SafeName(std::string(user) + "@" + std::string(server) + ".uid"));
}

bool ParseUidLine(std::string_view line, UidEntry* out) {
  line = Trim(line);
  const size_t blank = line.find(' ');
  if (blank == 0 || blank == std::string_view::npos) return false;
  const std::string number(line.substr(0, blank));
  char* end = nullptr;
  const long n = std::strtol(number.c_str(), &end, 10);
  if (end == number.c_str() || *end != '\0' || n <= 0) return false;
  const std::string_view uid = Trim(line.substr(blank + 1));
  if (uid.empty()) return false;
  out->number = n;
  out->uid = std::string(uid);
  return true;
}

std::set<std::string> ParseKnownList(std::string_view text) {
  std::set<std::string> known;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    UidEntry entry;
    if (ParseUidLine(text.substr(pos, end - pos), &entry)) known.insert(entry.uid);
    pos = end + 1;
  }
  return known;
}

std::string FormatKnownList(const std::vector<UidEntry>& listing) {
  std::string out;
  for (const UidEntry& e : listing) out += std::to_string(e.number) + " " + e.uid + "\r\n";
  return out;
}

MessageFile::~MessageFile() {
  Discard();
}

bool MessageFile::Open(const std::string& dir) {
  Discard();
  dir_ = dir;
  std::string tmpl = platform::JoinPath(dir, ".pop3-XXXXXX");
  fd_ = ::mkostemp(tmpl.data(), O_CLOEXEC);
  if (fd_ < 0) return false;
  tempPath_ = tmpl;
  size_ = 0;
  return true;
}

bool MessageFile::Write(std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd_, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<size_t>(n));
    size_ += n;
  }
  return true;
}

std::string MessageFile::Publish(const std::string& id, const std::string& extension) {
  if (fd_ < 0) return "";
  const bool flushed = ::fsync(fd_) == 0 || errno == EINVAL;
  ::close(fd_);
  fd_ = -1;
  std::string name;
  if (flushed) {
    for (int suffix = 1; suffix <= kMaxSuffix; ++suffix) {
      char tail[16] = "";
      if (suffix > 1) std::snprintf(tail, sizeof tail, "_%03d", suffix);
      const std::string candidate = platform::JoinPath(dir_, SafeName(id + tail + extension));
      // link() never replaces an existing file, so two calls cannot take one name.
      if (::link(tempPath_.c_str(), candidate.c_str()) == 0) {
        name = candidate;
        break;
      }
      if (errno != EEXIST) break;
    }
  }
  ::unlink(tempPath_.c_str());
  tempPath_.clear();
  return name;
}

void MessageFile::Discard() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!tempPath_.empty()) ::unlink(tempPath_.c_str());
  tempPath_.clear();
}

}  // namespace inboxpull
