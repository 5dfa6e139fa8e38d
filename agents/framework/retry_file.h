// The retry file: one line per failed account check, "<record path>,<status path>,<key>"
// and CR LF. Full runs start it afresh; re-check runs consume it.
#pragma once

#include <string>
#include <vector>

namespace agents {

struct RetryEntry {
  std::string accountPath;
  std::string statusPath;
  std::string key;
};

std::string RetryLine(const std::string& accountPath, const std::string& statusPath,
                      const std::string& key);

// Appends one line (one write on an append-only descriptor). Nothing is written when the
// file cannot be opened.
void AppendRetryLine(const std::string& retryPath, const std::string& accountPath,
                     const std::string& statusPath, const std::string& key);

// The lines of a retry file's content: each line ended by CR (a LF after it is skipped),
// split at its first two commas. Lines with fewer than two commas and a last piece not
// ended by CR are left out.
std::vector<RetryEntry> ParseRetryLines(const std::string& content);

// Takes the retry file for a re-check run: it is first renamed to a private name in its
// folder (so lines that other runs append from now on go to a new file and are not lost),
// then read and deleted. Empty when there is none.
std::vector<RetryEntry> TakeRetryFile(const std::string& retryPath);

}  // namespace agents
