// Judging a fetched page by the start of its answer, and the page error file that keeps
// the status texts found there ("<page file>.err").
#pragma once

#include <cstdint>
#include <string>

namespace hostcheck {

std::string PageErrorFilePath(const std::string& pageFile);

// Deletes the page error file, then evaluates the first 455 characters of `statusText`:
// the number after the first space is the HTTP status (returned unless it is 200); after
// a 200, the negated number after the first "Error"; 200 when neither says otherwise; 1
// when the text holds no space. Every number parsed whose text ends within its first 20
// characters appends an entry for its line to the page error file.
int32_t EvaluatePageStatus(const std::string& statusText, const std::string& pageFile,
                           const std::string& host, const std::string& path);

// A page result the agents count as a failed page: negative, 404 or 405.
inline bool IsFailedPage(int32_t result) {
  return result < 0 || result == 404 || result == 405;
}

}  // namespace hostcheck
