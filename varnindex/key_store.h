// The changes and reads of a store; keys are already normalised here.
#pragma once

#include <cstdint>
#include <string>

namespace varnindex {

// Result codes shared with the exported interface.
constexpr int32_t kDone = 1;
constexpr int32_t kNotFound = -4;
constexpr int32_t kNoLock = -7;
constexpr int32_t kFailed = -8;

// A file that holds this many slots is split before the next insertion into it.
constexpr int64_t kSplitSlots = 2000;

// Inserts the key in order (an equal key present already counts as done) and logs it.
// kDone, kNoLock or kFailed.
int32_t AddKey(const std::string& dir, const std::string& key);

// Removes the key and logs it. kDone, kNotFound, kNoLock, or kFailed when the key file
// could not be rewritten.
int32_t DeleteKey(const std::string& dir, const std::string& key);

// Number of keys in the store (0 when the folder is missing).
int64_t CountKeys(const std::string& dir);

// Copies the 150-byte slot at `position` into `out`. False past the last key.
bool ReadKeyAt(const std::string& dir, int64_t position, char* out);

}  // namespace varnindex
