#include "console/latest_job.h"

namespace console {

bool LatestJobWorker::Submit(Job job) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopped_) return false;
    waiting_ = std::move(job);
    ++submitted_;
    if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
  }
  wake_.notify_all();
  return true;
}

void LatestJobWorker::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
    waiting_.reset();
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void LatestJobWorker::WaitIdle() {
  std::unique_lock<std::mutex> lock(mutex_);
  wake_.wait(lock, [this] { return stopped_ || (!running_ && !waiting_); });
}

void LatestJobWorker::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopped_ || waiting_.has_value(); });
    if (stopped_) break;
    Job job = std::move(*waiting_);
    waiting_.reset();
    const uint64_t mine = submitted_;
    running_ = true;
    lock.unlock();
    job([this, mine] {
      std::lock_guard<std::mutex> guard(mutex_);
      return stopped_ || submitted_ != mine;
    });
    job = nullptr;  // whatever the job holds goes before the worker reports idle
    lock.lock();
    running_ = false;
    wake_.notify_all();
  }
  running_ = false;
  wake_.notify_all();
}

}  // namespace console
