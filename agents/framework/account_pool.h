// Runs one piece of work per account with a bounded number in flight. With a bound of 1
// the accounts are worked through one after another in the calling thread, in the order
// given; with more, worker threads take the next account as soon as they are free, so only
// the interleaving between different accounts changes.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace agents {

// The bound an agent run uses when the settings name none.
constexpr size_t kDefaultScanParallel = 64;
// The largest bound taken from the settings; more would only cost memory.
constexpr size_t kMaxScanParallel = 1024;

// SCANPARALLEL from the [PROGRAM] section of the program directory's settings file: a
// missing, unreadable or non-positive value gives the default, a larger one than the cap
// the cap.
size_t ReadScanParallel(const std::string& programDir);

// Calls `work` once for every key, at most `parallel` at a time. Returns when all are done.
// When a worker thread cannot be started the remaining accounts are worked by the threads
// that run (in the end by the calling thread), so none is left out.
void ForEachAccount(const std::vector<std::string>& keys, size_t parallel,
                    const std::function<void(const std::string&)>& work);

}  // namespace agents
