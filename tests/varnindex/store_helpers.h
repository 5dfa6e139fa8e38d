// Small helpers shared by the record store tests.
#pragma once

#include <string>
#include <vector>

namespace varnindex_test {

// Every key of the store, read by position 0, 1, 2, ... until the store says there is none.
std::vector<std::string> ReadAll(const std::string& dir);

// Writes a key file holding the given keys in the given order, 150 bytes a slot.
void WriteKeyFile(const std::string& path, const std::vector<std::string>& keys);

// "prefix0000", "prefix0001", ... (count keys, four digits).
std::vector<std::string> NumberedKeys(const std::string& prefix, int first, int count);

// Names of the "*.key" files in the folder, sorted.
std::vector<std::string> KeyFileNames(const std::string& dir);

// Size of a file in slots.
long SlotCount(const std::string& path);

}  // namespace varnindex_test
