// Whole-store changes: replacing every key of a store in one pass, and reading a run of
// positions under one lock.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace varnindex {

// Lays out key files exactly as adding the keys one by one to an empty store would leave
// them: the same target file for each key, the same splits at kSplitSlots with the same
// new file names, the same slots. Nothing touches the disk; the caller writes files().
class Planner {
 public:
  struct File {
    std::string name;
    std::vector<uint32_t> keys;  // indexes into the planner's keys, in ascending order
  };

  // `nameTaken` tells whether a split may not use a file name because something else in
  // the folder has it (a null test: no name is taken).
  explicit Planner(std::function<bool(const std::string&)> nameTaken = nullptr);

  // Adds one key, already normalised and not empty, as an add into the planned store would.
  void Add(std::string_view key);

  // The files in position order (by first key).
  const std::vector<File>& files() const { return files_; }
  // Key number `index` in the order of the adds (repeats included).
  std::string_view key(uint32_t index) const;
  uint32_t keysAdded() const { return static_cast<uint32_t>(spans_.size()); }
  size_t keyCount() const;  // distinct keys placed

 private:
  std::string_view KeyOf(uint32_t index) const;
  std::string UnusedSplitName(std::string_view firstKey) const;

  std::function<bool(const std::string&)> nameTaken_;
  std::string arena_;            // every key, back to back
  std::vector<uint64_t> spans_;  // offset << 8 | length of each key in arena_
  std::vector<File> files_;
  std::unordered_set<std::string> names_;
  size_t placed_ = 0;
};

// Replaces the store's keys by `count` texts that follow each other in `keys`, each
// zero-terminated, as deleting every key file and adding the texts one by one would: the
// texts are normalised, empty ones skipped, repeats kept once, every add logged. Every key
// file is written to a temporary file and renamed into place under the exclusive lock, so a
// reader (who takes the lock shared) sees the old or the new store. kDone, kNoLock, or
// kFailed when a file could not be written (each key then logged as a failed add).
int32_t ReplaceAllKeys(const std::string& dir, const char* keys, int32_t count);

// Copies up to `count` slots from `position` on into `out` (count * 150 bytes) under one
// shared lock. Returns the number copied; the slots after them get an empty key.
int32_t ReadKeysAt(const std::string& dir, int64_t position, int32_t count, char* out);

}  // namespace varnindex
