#include "agents/framework/account_pool.h"

#include <malloc.h>
#include <pthread.h>

#include <atomic>
#include <cstdlib>

#include "common/layout.h"
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

struct Shared {
  const std::vector<std::string>* keys;
  const std::function<void(const std::string&)>* work;
  std::atomic<size_t> next{0};
};

void Drain(Shared& shared) {
  for (;;) {
    size_t i = shared.next.fetch_add(1);
    if (i >= shared.keys->size()) return;
    (*shared.work)((*shared.keys)[i]);
  }
}

void* WorkerMain(void* arg) {
  Drain(*static_cast<Shared*>(arg));
  return nullptr;
}

bool StartWorker(pthread_t* thread, Shared& shared) {
  pthread_attr_t attr;
  if (::pthread_attr_init(&attr) != 0) return false;
  if (kWorkerStack != 0) ::pthread_attr_setstacksize(&attr, kWorkerStack);
  bool ok = ::pthread_create(thread, &attr, &WorkerMain, &shared) == 0;
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

void ForEachAccount(const std::vector<std::string>& keys, size_t parallel,
                    const std::function<void(const std::string&)>& work) {
  Shared shared;
  shared.keys = &keys;
  shared.work = &work;
  size_t workers = parallel < keys.size() ? parallel : keys.size();
  std::vector<pthread_t> threads;
  if (workers > 1) {
    // The workers allocate little; arenas of their own would multiply the run's memory.
    ::mallopt(M_ARENA_MAX, 2);
    threads.reserve(workers);
    for (size_t i = 0; i < workers; ++i) {
      pthread_t thread;
      if (!StartWorker(&thread, shared)) break;
      threads.push_back(thread);
    }
  }
  // The calling thread works too when no worker could start (and always for a bound of 1).
  if (threads.empty()) Drain(shared);
  for (pthread_t thread : threads) ::pthread_join(thread, nullptr);
}

}  // namespace agents
