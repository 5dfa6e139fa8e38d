// The key files of a store in position order, cached per folder.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "varnindex/key_text.h"

namespace varnindex {

struct KeyFile {
  std::string name;
  int64_t size = 0;
  std::string firstKey;  // "" for a file without slots
  int64_t slots() const { return size / static_cast<int64_t>(kSlotSize); }
};

// Every file holds a range of keys that no other file overlaps, so ordering the files by
// their first key gives the positions in key order; files without slots come last.
//
// Every change bumps a generation number kept in ".kdt.gen" in the store folder before it
// touches a key file. The listing is cached per folder and reused while the generation and
// the folder's own time stamps stay the same; otherwise it is read again (names, sizes and
// first keys). Call with the store lock held (`locked`); without it nothing is cached.
// `epoch`, when given, gets a number that changes whenever the listing is read afresh: what
// a caller keeps about the files is good while it stays the same.
std::vector<KeyFile> ListStore(const std::string& dir, bool locked, uint64_t* epoch = nullptr);

// Index of the file whose range takes `key`: the last file with slots whose first key is
// not above it, or the first file with slots when the key is below them all. -1 when no
// file has a slot.
int TargetFile(const std::vector<KeyFile>& files, std::string_view key);

// Under the exclusive lock, after ListStore and before the first write of a change: bumps
// the generation, so every other process reads its listing again.
bool BeginChange(const std::string& dir);

// Under the exclusive lock, after writing `name`: records its size and first key.
void NoteWritten(const std::string& dir, const std::string& name, std::string_view firstKey);
// The same when the file's new size is known and the folder changed only if the file was
// `created`: no file or folder is looked at again.
void NoteWritten(const std::string& dir, const std::string& name, std::string_view firstKey,
                 int64_t size, bool created);

// Drops the cached listing (after a change that failed half-way).
void ForgetStore(const std::string& dir);

}  // namespace varnindex
