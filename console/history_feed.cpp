#include "console/history_feed.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <set>
#include <vector>

#include "common/account_key.h"
#include "common/layout.h"
#include "common/maintenance.h"
#include "common/record_texts.h"
#include "console/log_files.h"
#include "platform/clock.h"
#include "platform/files.h"

namespace console::history {
namespace {

constexpr int64_t kRetryOpenMinutes = 1;
constexpr int kPruneRowsPerPass = 2000;

// "YYYYMMDD.log": the full daily logs (the display logs live in Log/Disp).
bool IsDailyLog(const std::string& name) {
  if (name.size() != 12 || name.substr(8) != ".log") return false;
  return std::all_of(name.begin(), name.begin() + 8, [](char c) { return c >= '0' && c <= '9'; });
}

std::string Stamp() {
  platform::SystemTime t = platform::LocalNow();
  char text[32];
  std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  return text;
}

}  // namespace

std::string StorePath(const std::string& programDir) {
  return platform::JoinPath(platform::JoinPath(programDir, "History"), "history.db");
}

int64_t NowMinute() {
  platform::SystemTime t = platform::LocalNow();
  return CivilMinute(t.year, t.month, t.day, t.hour, t.minute);
}

std::string SetAside(const std::string& path, const std::string& what) {
  const std::string target = path + "." + what + "-" + Stamp();
  if (!platform::RenamePath(path, target)) return "";
  for (const char* side : {"-wal", "-shm"}) {
    if (platform::PathExists(path + side)) platform::RenamePath(path + side, target + side);
  }
  return target;
}

std::optional<Check> HistoryFeed::CustomSlot(const std::string& key, long port, int64_t nowMinute) {
  auto find = [&](const Ports& p) -> std::optional<Check> {
    for (int i = 0; i < 5; ++i) {
      if (port > 0 && p.ports[i] == static_cast<uint32_t>(port)) {
        return static_cast<Check>(static_cast<int>(Check::kCustom1) + i);
      }
    }
    return std::nullopt;
  };
  auto it = ports_.find(key);
  if (it != ports_.end()) {
    if (auto slot = find(it->second)) return slot;
    if (nowMinute - it->second.readAt < 1) return std::nullopt;
  }
  if (ports_.size() > 100000) ports_.clear();
  Ports& p = ports_[key];
  p.readAt = nowMinute;
  bool whole = false;
  common::AccountFile account =
      common::ReadAccount(common::InDir(programDir_, common::kAllData, key), &whole);
  for (int i = 0; i < 5; ++i) p.ports[i] = whole ? account.record.customPorts[i] : 0;
  return find(p);
}

int64_t HistoryFeed::Pass(HistoryStore& store, int64_t nowMinute, const std::atomic<bool>* stop,
                          std::string* error) {
  const std::string logDir = platform::JoinPath(programDir_, common::kLog);
  std::vector<std::string> logs;
  for (const std::string& name : platform::ListFiles(logDir)) {
    if (IsDailyLog(name)) logs.push_back(name);
  }
  std::sort(logs.begin(), logs.end());
  std::map<std::string, int64_t> offsets = store.FileOffsets();
  if (store.damaged()) {
    if (error) *error = "the history store is damaged";
    return -1;
  }
  int64_t lines = 0;
  std::string chunk;
  std::vector<Result> results;
  // Results inside a maintenance window are marked as such when they are taken in.
  const std::vector<common::MaintenanceWindow> maintenance = common::ReadMaintenance(programDir_);
  for (const std::string& name : logs) {
    const std::string path = platform::JoinPath(logDir, name);
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
      ::close(fd);
      continue;
    }
    const int64_t size = st.st_size;
    int64_t offset = offsets.count(name) ? offsets[name] : 0;
    // A log shorter than what was read of it is another file of that name: read it whole.
    if (offset > size) offset = 0;
    while (offset < size && !(stop && *stop)) {
      const size_t want =
          static_cast<size_t>(std::min<int64_t>(size - offset, static_cast<int64_t>(batchBytes_)));
      chunk.resize(want);
      size_t got = 0;
      while (got < want) {
        ssize_t n = ::pread(fd, chunk.data() + got, want - got, static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
      }
      chunk.resize(got);
      size_t end = chunk.rfind('\n');
      if (end == std::string::npos) {
        // No line end in a whole batch: no log line is that long, so the bytes are skipped
        // rather than waited for forever. A short tail is a line still being written.
        if (got < batchBytes_) break;
        end = got - 1;
      }
      results.clear();
      size_t begin = 0;
      while (begin <= end) {
        size_t lf = chunk.find('\n', begin);
        std::string_view line(chunk.data() + begin, lf - begin);
        begin = lf + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        ++lines;
        std::optional<LogResult> parsed = ParseLogLine(line);
        if (!parsed) continue;
        Result r;
        r.key = common::HexKey(parsed->name);
        r.name = std::move(parsed->name);
        r.check = parsed->check;
        if (parsed->customPort != 0 || parsed->check == Check::kCustom1) {
          std::optional<Check> slot = CustomSlot(r.key, parsed->customPort, nowMinute);
          if (!slot) continue;  // no port of the account is that one any more
          r.check = *slot;
        }
        r.minute = parsed->minute;
        r.outcome = parsed->outcome;
        r.code = parsed->code;
        r.ms = parsed->ms;
        r.error = std::move(parsed->error);
        r.oneRunPerMinute = parsed->oneRunPerMinute;
        r.maintenance =
            !maintenance.empty() && common::InMaintenance(maintenance, r.key, CivilTime(r.minute));
        results.push_back(std::move(r));
      }
      const FileMark mark{name, offset + static_cast<int64_t>(end + 1)};
      if (!store.Ingest(results, {&mark, 1}, nowMinute, error)) {
        ::close(fd);
        return -1;
      }
      offset = mark.offset;
    }
    ::close(fd);
    if (stop && *stop) break;
  }
  store.ForgetFilesExcept(std::set<std::string>(logs.begin(), logs.end()));
  return lines;
}

int RebuildHistory(const std::string& programDir,
                   const std::function<void(const std::string&)>& say) {
  const std::string path = StorePath(programDir);
  if (platform::PathExists(path)) {
    const std::string kept = SetAside(path, "replaced");
    if (kept.empty()) {
      say("cannot move the history store " + path + " aside; nothing was changed");
      return 1;
    }
    say("the history store was moved to " + kept);
  }
  std::string error;
  auto store = HistoryStore::Open(path, false, false, &error);
  if (!store) {
    say("cannot create the history store " + path + ": " + error);
    return 1;
  }
  HistoryFeed feed(programDir);
  int64_t lines = feed.Pass(*store, NowMinute(), nullptr, &error);
  if (lines < 0) {
    say("the history could not be rebuilt: " + error);
    return 1;
  }
  say("the history was rebuilt from " + std::to_string(lines) + " log lines");
  return 0;
}

HistoryWorker::HistoryWorker(std::string programDir, int pollMs)
    : programDir_(std::move(programDir)), pollMs_(pollMs), feed_(programDir_) {}

HistoryWorker::~HistoryWorker() {
  Stop();
}

void HistoryWorker::Start() {
  if (thread_.joinable()) return;
  stop_ = false;
  thread_ = std::thread([this] {
    pthread_setname_np(pthread_self(), "HistoryWorker");
    Run();
  });
}

void HistoryWorker::Stop() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
  store_.reset();
}

void HistoryWorker::Nudge() {
  std::unique_lock<std::mutex> hold(mutex_);
  const int64_t seen = passes_;
  nudged_ = true;
  wake_.notify_all();
  done_.wait(hold, [&] { return passes_ > seen || stop_; });
}

void HistoryWorker::Say(const std::string& text) {
  std::fprintf(stderr, "KTVarnock: history: %s\n", text.c_str());
  WriteLogLine(programDir_, kHistoryLogCode, kHistoryLogTitle, text);
}

bool HistoryWorker::OpenStore() {
  const std::string path = StorePath(programDir_);
  std::string error;
  bool damaged = false;
  store_ = HistoryStore::Open(path, false, true, &error, &damaged);
  if (store_) return true;
  if (!damaged) {
    Say("cannot open " + path + ": " + error);
    return false;
  }
  const std::string kept = SetAside(path, "damaged");
  if (kept.empty()) {
    Say("the history store is damaged and cannot be moved aside: " + error);
    return false;
  }
  Say("the history store was damaged (" + error + "); it was moved to " + kept +
      " and is rebuilt from the logs");
  store_ = HistoryStore::Open(path, false, false, &error);
  if (!store_) Say("cannot create " + path + ": " + error);
  return store_ != nullptr;
}

void HistoryWorker::Run() {
  while (!stop_) {
    const int64_t now = NowMinute();
    if (!store_ && now >= retryAt_ && !OpenStore()) retryAt_ = now + kRetryOpenMinutes;
    if (store_) {
      std::string error;
      int64_t lines = feed_.Pass(*store_, now, &stop_, &error);
      if (lines >= 0 && !stop_) lines = store_->PruneStep(now, kPruneRowsPerPass);
      if (lines < 0 && !stop_) {
        if (store_->damaged()) {
          store_.reset();
          const std::string path = StorePath(programDir_);
          const std::string kept = SetAside(path, "damaged");
          Say("the history store broke (" + error + "); " +
              (kept.empty() ? std::string("it cannot be moved aside")
                            : "it was moved to " + kept + " and is rebuilt from the logs"));
        } else if (!failing_) {
          Say("the history could not be written: " + error);
        }
        failing_ = store_ != nullptr;
      } else if (lines >= 0) {
        failing_ = false;
      }
    }
    std::unique_lock<std::mutex> hold(mutex_);
    ++passes_;
    done_.notify_all();
    wake_.wait_for(hold, std::chrono::milliseconds(pollMs_), [&] { return stop_ || nudged_; });
    nudged_ = false;
  }
}

}  // namespace console::history
