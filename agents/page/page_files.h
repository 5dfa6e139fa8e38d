// The page agent's files in <dir>/temp: the page file of each check ("VNK...tmp"), the page
// check's retry text beside it (".err" appended), and a note per account naming the page
// file its last failed check left, so only the newest one is kept.
#pragma once

#include <mutex>
#include <string>
#include <vector>

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

// The page files of passed checks, kept for the following checks of the run rather than a
// new file made and deleted per account: every file made or deleted in the temp folder
// locks it, and with many checks side by side they would wait for each other.
class SparePages {
 public:
  SparePages() = default;
  SparePages(const SparePages&) = delete;
  SparePages& operator=(const SparePages&) = delete;
  ~SparePages() { DropAll(); }

  // An empty page file in `tempDir`: a spare when there is one, else a new file (the folder
  // made if missing). Empty when the folder cannot be used.
  std::string Take(const std::string& tempDir);
  // Takes back the page file of a passed check: its retry text is removed and the file is
  // emptied, so the next check never reads this one's page as its own. A file that cannot
  // be emptied is deleted instead.
  void Give(const std::string& pageFile);
  // Deletes every spare: the end of the run.
  void DropAll();

 private:
  std::mutex mutex_;
  std::vector<std::string> spares_;
};

}  // namespace pagesentry
