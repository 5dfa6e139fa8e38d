// One worker thread for work whose newest request is the only one that matters (a sort
// index rebuild): a job submitted while another waits replaces the waiting one, and the
// running job can ask whether a newer one came, to stop early.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

namespace console {

class LatestJobWorker {
 public:
  // A job gets a test that turns true once a newer job was submitted or the worker stops.
  using Job = std::function<void(const std::function<bool()>& superseded)>;

  LatestJobWorker() = default;
  ~LatestJobWorker() { Stop(); }
  LatestJobWorker(const LatestJobWorker&) = delete;
  LatestJobWorker& operator=(const LatestJobWorker&) = delete;

  // Queues the job (the thread starts with the first one). A job still waiting is dropped.
  // False once the worker was stopped.
  bool Submit(Job job);
  // Drops a waiting job, tells the running one it is superseded and waits for its end.
  // Later submissions are refused.
  void Stop();
  // Waits until no job runs or waits (tests and benchmarks).
  void WaitIdle();

 private:
  void Run();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::optional<Job> waiting_;
  uint64_t submitted_ = 0;
  bool running_ = false;
  bool stopped_ = false;
  std::thread thread_;
};

}  // namespace console
