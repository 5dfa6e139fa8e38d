// The change log of a store: "<store>/log/YYYYMMDDnnn.txt".
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace varnindex {

enum class Change { kAdd, kErrorAdd, kDel, kErrorDel };

// Appends "\r\n[ADD]\r\n" (or the marker of the other changes), "TIME=h:m:s\r\n" and
// "Data=<key>\r\n" in one write to the first of today's files 001..1000 that is below
// 500000 bytes (the thousandth is named ...1000.txt). A log that cannot be written changes nothing
// else.
void LogChange(const std::string& dir, Change change, std::string_view key);

// The entries of a batch of changes of one kind, in order, as LogChange would append them
// one after the other (a file that reaches the size limit on the way is left for the next),
// in one write per file.
void LogChanges(const std::string& dir, Change change, const std::vector<std::string_view>& keys);

}  // namespace varnindex
