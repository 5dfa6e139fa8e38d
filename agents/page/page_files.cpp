#include "page_files.h"

#include "platform/files.h"

namespace pagesentry {
namespace {

constexpr size_t kDetailLimit = 999;

std::string NotePath(const std::string& tempDir, const std::string& key) {
  return platform::JoinPath(tempDir, ".failedpage." + key);
}

}  // namespace

std::string TakePageRetryText(const std::string& pageFile) {
  if (pageFile.empty()) return "";
  const std::string path = pageFile + ".err";
  std::string detail(kDetailLimit, '\0');
  long got = platform::ReadPrefix(path, detail.data(), detail.size());
  if (got < 0) return "";
  detail.resize(static_cast<size_t>(got));
  detail.resize(detail.find('\0') == std::string::npos ? detail.size() : detail.find('\0'));
  if (detail.size() >= 2 && detail.compare(detail.size() - 2, 2, ", ") == 0) {
    detail.resize(detail.size() - 2);
  }
  platform::RemoveFile(path);
  return detail;
}

void KeepFailedPage(const std::string& tempDir, const std::string& key,
                    const std::string& pageFile) {
  if (pageFile.empty() || tempDir.empty()) return;
  const std::string note = NotePath(tempDir, key);
  if (std::optional<std::string> previous = platform::ReadWholeFile(note, 4096)) {
    // Only a page file of this folder is ever removed, whatever the note says.
    const std::string prefix = platform::JoinPath(tempDir, "VNK");
    if (*previous != pageFile && previous->rfind(prefix, 0) == 0 &&
        previous->find('/', prefix.size()) == std::string::npos) {
      platform::RemoveFile(*previous);
    }
  }
  platform::WriteFileAtomic(note, pageFile);
}

void DropPage(const std::string& pageFile) {
  if (pageFile.empty()) return;
  platform::RemoveFile(pageFile);
  platform::RemoveFile(pageFile + ".err");
}

std::string SparePages::Take(const std::string& tempDir) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t i = spares_.size(); i-- > 0;) {
      if (platform::DirName(spares_[i]) != tempDir) continue;
      std::string spare = std::move(spares_[i]);
      spares_.erase(spares_.begin() + static_cast<std::ptrdiff_t>(i));
      return spare;
    }
  }
  platform::MakeDirs(tempDir);
  return platform::MakeTempFile(tempDir, "VNK");
}

void SparePages::Give(const std::string& pageFile) {
  if (pageFile.empty()) return;
  // Both are emptied rather than deleted: the next check writes them again, and every
  // file made or deleted would lock the folder.
  if (!platform::PathExists(pageFile) || !platform::EmptyFile(pageFile + ".err") ||
      !platform::EmptyFile(pageFile)) {
    DropPage(pageFile);
    return;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  spares_.push_back(pageFile);
}

void SparePages::DropAll() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const std::string& spare : spares_) DropPage(spare);
  spares_.clear();
}

}  // namespace pagesentry
