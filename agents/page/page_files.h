// The page agent's files in <dir>/temp: the page file of each check ("VNK...tmp"), the page
// check's retry text beside it (".err" appended), and a note per account naming the page
// file its last failed check left, so only the newest one is kept.
#pragma once

#include <string>

namespace pagesentry {

// Every routine here does nothing for an empty page file path (the temp folder could not be
// used): names built from it would point into the current directory.

// Reads at most the first 999 bytes of "<pageFile>.err" as the detail text, drops a
// trailing ", " and deletes the file. Empty when there is none.
std::string TakePageRetryText(const std::string& pageFile);

// Records `pageFile` as the account's kept failed page and removes the one its previous
// failure left.
void KeepFailedPage(const std::string& tempDir, const std::string& key,
                    const std::string& pageFile);

// Deletes the page file of a passed check and any retry text beside it.
void DropPage(const std::string& pageFile);

}  // namespace pagesentry
