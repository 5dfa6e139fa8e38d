#include "agents/framework/account_pool.h"

#include <malloc.h>
#include <pthread.h>

#include <chrono>
#include <cstdlib>

#include "common/layout.h"
#include "platform/clock.h"
#include "platform/ini.h"

namespace agents {
namespace {

// A check's frames are shallow (the largest buffers live on the heap); the sanitizers need
// far more room for their own bookkeeping, so they keep the system's default.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr size_t kWorkerStack = 0;
#else
constexpr size_t kWorkerStack = 512 * 1024;
#endif

void* WorkerMain(void* arg) {
  (*static_cast<std::function<void()>*>(arg))();
  return nullptr;
}

bool StartWorker(pthread_t* thread, std::function<void()>* body) {
  pthread_attr_t attr;
  if (::pthread_attr_init(&attr) != 0) return false;
  if (kWorkerStack != 0) ::pthread_attr_setstacksize(&attr, kWorkerStack);
  bool ok = ::pthread_create(thread, &attr, &WorkerMain, body) == 0;
  ::pthread_attr_destroy(&attr);
  return ok;
}

}  // namespace

size_t ReadScanParallel(const std::string& programDir) {
  const std::string text =
      platform::IniGetString(common::IniPath(programDir), common::kIniSection, "SCANPARALLEL", "");
  char* end = nullptr;
  long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || end == text.c_str() || value < 1) return kDefaultScanParallel;
  if (static_cast<unsigned long>(value) > kMaxScanParallel) return kMaxScanParallel;
  return static_cast<size_t>(value);
}

AccountPool::AccountPool(size_t workers, size_t openLimit)
    : workers_(workers < 1 ? 1 : workers),
      openLimit_(openLimit < workers_ ? workers_ : openLimit) {}

size_t AccountPool::Open() const {
  return running_ + held_ + ready_.size() + sleeping_.size();
}

bool AccountPool::Finished() const {
  return next_ >= keys_->size() && Open() == 0;
}

void AccountPool::Hold() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++held_;
}

void AccountPool::Resume(std::function<void()> work) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    --held_;
    ready_.push_back(std::move(work));
  }
  changed_.notify_one();
}

void AccountPool::After(int ms, std::function<void()> work) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    sleeping_.emplace(platform::MonotonicMs() + (ms > 0 ? ms : 0), std::move(work));
  }
  // Every idle worker then watches the clock, so a busy one cannot hold the pause up.
  changed_.notify_all();
}

void AccountPool::Work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    const int64_t now = platform::MonotonicMs();
    while (!sleeping_.empty() && sleeping_.begin()->first <= now) {
      ready_.push_back(std::move(sleeping_.begin()->second));
      sleeping_.erase(sleeping_.begin());
    }
    std::function<void()> work;
    const std::string* key = nullptr;
    if (!ready_.empty()) {
      work = std::move(ready_.front());
      ready_.pop_front();
    } else if (next_ < keys_->size() && Open() < openLimit_) {
      key = &(*keys_)[next_++];
    } else if (Finished()) {
      changed_.notify_all();
      return;
    } else if (!sleeping_.empty()) {
      changed_.wait_for(lock, std::chrono::milliseconds(sleeping_.begin()->first - now));
      continue;
    } else {
      changed_.wait(lock);
      continue;
    }
    ++running_;
    lock.unlock();
    if (key) {
      (*begin_)(*key);
    } else {
      work();
    }
    work = nullptr;  // what the piece captured goes before the lock is taken again
    lock.lock();
    --running_;
  }
}

void AccountPool::Run(const std::vector<std::string>& keys,
                      const std::function<void(const std::string&)>& begin) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    keys_ = &keys;
    begin_ = &begin;
    next_ = 0;
  }
  size_t count = workers_ < keys.size() ? workers_ : keys.size();
  std::function<void()> body = [this] { Work(); };
  std::vector<pthread_t> threads;
  if (count > 1) {
    // The workers allocate little; arenas of their own would multiply the run's memory.
    ::mallopt(M_ARENA_MAX, 2);
    threads.reserve(count);
    for (size_t i = 0; i < count; ++i) {
      pthread_t thread;
      if (!StartWorker(&thread, &body)) break;
      threads.push_back(thread);
    }
  }
  // The calling thread works too when no worker could start (and always for one worker).
  if (threads.empty()) Work();
  for (pthread_t thread : threads) ::pthread_join(thread, nullptr);
}

void ForEachAccount(const std::vector<std::string>& keys, size_t parallel,
                    const std::function<void(const std::string&)>& work) {
  AccountPool pool(parallel, parallel);
  pool.Run(keys, work);
}

}  // namespace agents
