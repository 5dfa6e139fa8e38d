// Runs one piece of work per account with a bounded number of workers. With one worker the
// accounts are worked through one after another in the calling thread, in the order given;
// with more, worker threads take the next account as soon as they are free, so only the
// interleaving between different accounts changes.
//
// A check that waits on the network (an echo, a connect) need not hold a worker meanwhile:
// it holds the pool open with Hold(), hands the wait to its own loop, and carries on with
// Resume() when the answer is in; a pause between attempts is After(). The accounts that
// wait this way are bounded separately (`openLimit`), so a hundred dead hosts wait their
// time-outs side by side while the workers go on with the living ones.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace agents {

// The bound an agent run uses when the settings name none.
constexpr size_t kDefaultScanParallel = 64;
// The largest bound taken from the settings; more would only cost memory.
constexpr size_t kMaxScanParallel = 1024;
// Accounts open at once (at work or waiting on the network) when more than one worker runs.
constexpr size_t kMaxOpenAccounts = 1024;

// SCANPARALLEL from the [PROGRAM] section of the program directory's settings file: a
// missing, unreadable or non-positive value gives the default, a larger one than the cap
// the cap.
size_t ReadScanParallel(const std::string& programDir);

class AccountPool {
 public:
  // `workers` threads (1: the calling thread alone); at most `openLimit` accounts begun and
  // not finished at a time (at least one per worker). With one worker and an open limit of
  // one, each account is finished, waits included, before the next begins.
  AccountPool(size_t workers, size_t openLimit);
  AccountPool(const AccountPool&) = delete;
  AccountPool& operator=(const AccountPool&) = delete;

  // Calls `begin` once for every key on the workers and returns when every account is
  // finished: its `begin` returned and every Hold() it made was resumed and run. Work carried
  // on by Resume() and After() goes ahead of accounts not yet begun. When no worker thread
  // can start, the calling thread does all the work.
  void Run(const std::vector<std::string>& keys,
           const std::function<void(const std::string&)>& begin);

  // The account being worked waits outside the workers: it stays open until a matching
  // Resume(). Call on a worker, before handing the wait off.
  void Hold();
  // Ends a Hold(): `work` runs on a worker soon. May be called from any thread.
  void Resume(std::function<void()> work);
  // `work` runs on a worker after `ms` milliseconds, the account staying open meanwhile.
  void After(int ms, std::function<void()> work);

 private:
  void Work();
  bool Finished() const;
  size_t Open() const;

  const size_t workers_;
  const size_t openLimit_;
  const std::vector<std::string>* keys_ = nullptr;
  const std::function<void(const std::string&)>* begin_ = nullptr;

  std::mutex mutex_;
  std::condition_variable changed_;
  size_t next_ = 0;                                         // the next account to begin
  size_t running_ = 0;                                      // pieces of work on the workers now
  size_t held_ = 0;                                         // accounts waiting outside the workers
  std::deque<std::function<void()>> ready_;                 // resumed, oldest first
  std::multimap<int64_t, std::function<void()>> sleeping_;  // by monotonic due time
};

// Calls `work` once for every key, at most `parallel` at a time. Returns when all are done.
void ForEachAccount(const std::vector<std::string>& keys, size_t parallel,
                    const std::function<void(const std::string&)>& work);

}  // namespace agents
