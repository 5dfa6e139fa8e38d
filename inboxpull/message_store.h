// Where retrieved messages go: their file names, the hidden file a message is written to
// until it is whole, and the known-message list of servers that offer UIDL.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace inboxpull {

// The Message-ID header's value in a header block ("message-id:" found case-insensitively
// at the start of a line), trimmed; "" when there is none.
std::string FindMessageId(std::string_view headers);

// The ID part of a file name: angle brackets around the value removed, then every
// character that is not an ASCII letter or digit.
std::string CleanId(std::string_view id);

// "%02d%02d%02d%02d%02d%02d.%lu.%s@%s": month, day, years since 1900, hour, minute, second,
// the per-process counter, the first five characters of `localHost` each as two digits
// (code modulo 100), and the server.
std::string GeneratedId(int month, int day, int yearsSince1900, int hour, int minute, int second,
                        unsigned long counter, std::string_view localHost, std::string_view server);

// A name that cannot leave its directory: "/" becomes "_", and a leading "." too.
std::string SafeName(std::string_view name);

// "<dir>/<user>@<server>.uid".
std::string KnownListPath(const std::string& dir, std::string_view user, std::string_view server);

struct UidEntry {
  long number = 0;
  std::string uid;
};

// A UIDL listing line "<number> <uid>"; false for anything else.
bool ParseUidLine(std::string_view line, UidEntry* out);

// The unique IDs of a known-message list's text.
std::set<std::string> ParseKnownList(std::string_view text);
std::string FormatKnownList(const std::vector<UidEntry>& listing);

// A message being written: a hidden file in the target directory that becomes
// "<id><suffix><extension>" only when Publish is called. Dropping it unpublished removes
// the file.
class MessageFile {
 public:
  MessageFile() = default;
  ~MessageFile();
  MessageFile(const MessageFile&) = delete;
  MessageFile& operator=(const MessageFile&) = delete;

  bool Open(const std::string& dir);
  bool Write(std::string_view data);
  // Gives the file its name: "<dir>/<id><extension>", or with "_002", "_003", ... when the
  // name is taken (an existing file is never replaced). Returns the name, or "" (and the
  // file removed) when no name could be had.
  std::string Publish(const std::string& id, const std::string& extension);
  void Discard();
  int64_t size() const { return size_; }

 private:
  std::string dir_;
  std::string tempPath_;
  int fd_ = -1;
  int64_t size_ = 0;
};

}  // namespace inboxpull
