// The key files of a store in position order, cached per folder.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "varnindex/key_text.h"

namespace varnindex {

// What a file looked like when its first key was read; any change shows in one of these.
struct FileIdentity {
  ino_t inode = 0;
  int64_t size = -1;
  int64_t mtimeNs = 0;
  int64_t ctimeNs = 0;
  bool operator==(const FileIdentity&) const = default;
};

struct KeyFile {
  std::string name;
  FileIdentity identity;
  std::string firstKey;          // "" for a file without slots
  bool firstKeyTrusted = false;  // may be reused while the identity stays the same
  int64_t slots() const { return identity.size / static_cast<int64_t>(kSlotSize); }
};

// Every write replaces a whole key file (a new file renamed over the old), and every file
// holds a range of keys that no other file overlaps, so ordering the files by their first
// key gives the positions in key order; files without slots come last.
//
// The listing is cached per folder and checked on each call with one stat of the folder
// and one of each file. An entry whose time stamp is too recent to tell two changes apart
// (file systems keep coarse times) is not trusted and is read again next time.
std::vector<KeyFile> ListStore(const std::string& dir);

// Index of the file whose range takes `key`: the last file with slots whose first key is
// not above it, or the first file with slots when the key is below them all. -1 when no
// file has a slot.
int TargetFile(const std::vector<KeyFile>& files, std::string_view key);

// Records in the cache that this process has just written `name` (under the store lock)
// with `firstKey`, so the next call need not read it back.
void NoteWritten(const std::string& dir, const std::string& name, std::string_view firstKey);

}  // namespace varnindex
