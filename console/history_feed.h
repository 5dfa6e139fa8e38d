// Feeding the history store from the full daily logs (Log/YYYYMMDD.log), which the agents
// append to and which outlive a console restart. Each log is read from the offset the
// store keeps for it, complete lines only; the results and the new offset go into the
// store in one transaction. A worker thread (HistoryWorker) does this every few seconds
// and prunes a little each time; nothing of it runs on the console's main loop.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "console/history_store.h"

namespace console::history {

// The console's log line for what happens to the store (set aside, rebuilt, failing).
constexpr long kHistoryLogCode = 10015;
constexpr const char* kHistoryLogTitle = "[History]";

// At most this many bytes of a log are taken in one transaction.
constexpr size_t kMaxBatchBytes = 4u << 20;

std::string StorePath(const std::string& programDir);
// The minute of the console's local clock now.
int64_t NowMinute();

// Renames a damaged or replaced store (with its -wal and -shm files) to
// "<path>.<what>-YYYYMMDDhhmmss"; the new name, or "" when it could not be moved.
std::string SetAside(const std::string& path, const std::string& what);

class HistoryFeed {
 public:
  explicit HistoryFeed(std::string programDir) : programDir_(std::move(programDir)) {}

  // Reads every log beyond its kept offset into `store`. `stop` (may be null) ends the
  // pass between two batches. Returns the number of lines read, or -1 when the store
  // failed (error set).
  int64_t Pass(HistoryStore& store, int64_t nowMinute, const std::atomic<bool>* stop,
               std::string* error);

  // A custom port line's slot: the first of the account's five ports that is `port`, from
  // its record (re-read when the port is not found, at most once a minute per account).
  std::optional<Check> CustomSlot(const std::string& key, long port, int64_t nowMinute);

  // Smaller transactions (tests; at least one line's worth).
  void SetBatchBytes(size_t bytes) { batchBytes_ = std::max<size_t>(bytes, 256); }

 private:
  struct Ports {
    uint32_t ports[5] = {};
    int64_t readAt = 0;
  };
  std::string programDir_;
  size_t batchBytes_ = kMaxBatchBytes;
  std::map<std::string, Ports> ports_;
};

// Rebuilds the store from the logs: an existing store is set aside (kept, never deleted)
// and a new one made from every log of Log/. Messages go to `say`. 0 on success.
int RebuildHistory(const std::string& programDir,
                   const std::function<void(const std::string&)>& say);

// The thread that keeps the store: opens it (a damaged one is set aside and the store
// rebuilt from the logs), catches up with the logs, then follows them.
class HistoryWorker {
 public:
  explicit HistoryWorker(std::string programDir, int pollMs = 5000);
  ~HistoryWorker();
  void Start();
  void Stop();
  // Runs one pass now and waits for it (tests).
  void Nudge();
  int64_t passes() const { return passes_; }

 private:
  void Run();
  void Say(const std::string& text);
  bool OpenStore();

  std::string programDir_;
  int pollMs_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  bool nudged_ = false;
  std::atomic<bool> stop_{false};
  std::atomic<int64_t> passes_{0};
  std::unique_ptr<HistoryStore> store_;
  HistoryFeed feed_;
  int64_t retryAt_ = 0;
  bool failing_ = false;  // a write failure was said; said again only after a success
};

}  // namespace console::history
