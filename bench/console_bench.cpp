// The console at the size of a large account list (30,000 rows): serving one page of 40
// rows, rebuilding each sort index, loading a display log of 99,999 lines, and the idle
// console's CPU and memory. A plain program, one run; medians and ratios against a
// baseline measured in the same run (reading the two files of a row directly).
//
//   console_bench [rows] [path of KTVarnock for the idle figures]
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <sstream>
#include <string>
#include <vector>

#include "bench/bench_accounts.h"
#include "bench/bench_timing.h"
#include "common/account_key.h"
#include "common/accounts.h"
#include "common/daily_log.h"
#include "common/file_ops.h"
#include "common/layout.h"
#include "common/record_texts.h"
#include "common/status_update.h"
#include "console/api.h"
#include "console/console_app.h"
#include "console/display_log.h"
#include "console/list_model.h"
#include "platform/files.h"
#include "platform/ini.h"
#include "varnindex/VarnIndex.h"

namespace {

using bench::Median;
using bench::TimeMs;

std::string MakeDir() {
  char tmpl[] = "/tmp/varn-console-bench-XXXXXX";
  return ::mkdtemp(tmpl);
}

// Accounts written the way the dialogs leave them, without re-counting after each one.
void Populate(const std::string& dir, int rows) {
  const platform::SystemTime now = platform::LocalNow();
  const std::string index = common::ListViewDir(dir);
  for (int i = 0; i < rows; ++i) {
    common::CheckStatus s = common::NewCheckStatus(now);
    if (i % 3 != 0) {
      std::snprintf(s.lastCheck, sizeof s.lastCheck, "20261208%02d%02d%02d", i % 24, i % 60,
                    (i / 60) % 60);
    }
    if (i % 10 == 0) {
      s.failCount = 2;
      std::strcpy(s.errorDetected, s.lastCheck);
      s.downSeconds = static_cast<uint32_t>(i % 5000);
    }
    bench::WritePingAccount(dir, index, bench::ServerName((i * 7919) % rows), bench::ServerHost(i),
                            {}, s);
  }
}

double CpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t close = text.rfind(')');
  std::istringstream fields(text.substr(close + 2));
  std::string f;
  long utime = 0, stime = 0;
  for (int i = 3; i <= 15; ++i) {
    fields >> f;
    if (i == 14) utime = std::atol(f.c_str());
    if (i == 15) stime = std::atol(f.c_str());
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

void IdleFigures(const std::string& console, const std::string& dir) {
  pid_t pid = fork();
  if (pid == 0) {
    if (chdir(dir.c_str()) != 0) _exit(127);
    int devnull = ::open("/dev/null", 1);
    dup2(devnull, 1);
    execl(console.c_str(), console.c_str(), "--port", "0", "--agents", "/nonexistent", nullptr);
    _exit(127);
  }
  sleep(15);  // start-up and the first ticks (no agents to start)
  double cpu0 = CpuSeconds(pid);
  const int seconds = 30;
  sleep(seconds);
  double cpu1 = CpuSeconds(pid);
  std::printf("idle console: CPU %.2f %% over %d s, resident %ld KB\n",
              100.0 * (cpu1 - cpu0) / seconds, seconds, bench::StatusKb(pid, "VmRSS:"));
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
}

}  // namespace

int main(int argc, char** argv) {
  const int rows = argc > 1 ? std::atoi(argv[1]) : 30000;
  const std::string dir = MakeDir();
  std::printf("program directory %s, %d rows\n", dir.c_str(), rows);
  double fill = TimeMs([&] { Populate(dir, rows); });
  std::printf("populate: %.0f ms\n", fill);

  console::ConsoleApp app(dir, "/nonexistent",
                          [](const std::string&, const std::vector<std::string>&) { return true; });
  app.StartUp();
  const platform::SystemTime now = platform::LocalNow();

  // Baseline: read the two files of 40 rows directly, as a row lookup must.
  std::vector<std::string> keys = common::ListAccounts(dir);
  std::vector<double> base, page, pageJson;
  for (int run = 0; run < 31; ++run) {
    const int first = (run * 977) % (rows - 40);
    base.push_back(TimeMs([&] {
      for (int i = 0; i < 40; ++i) {
        const std::string& key = keys[(first + i) % keys.size()];
        common::CheckStatus s{};
        common::FileSizeOf(common::AccountPath(dir, key));
        common::ReadFixedFile(common::StatusPath(dir, common::StatusFolder::kPing, key), &s,
                              sizeof s);
      }
    }));
    page.push_back(TimeMs([&] {
      for (int i = 0; i < 40; ++i) app.list().Row(first + i, now);
    }));
    pageJson.push_back(TimeMs([&] { console::RowsJson(app, first, 40).dump(); }));
  }
  std::printf(
      "page of 40 rows: median %.2f ms (as JSON %.2f ms); baseline two-file reads %.2f ms; ratio "
      "%.1fx\n",
      Median(page), Median(pageJson), Median(base), Median(page) / Median(base));

  std::vector<double> all;
  for (int column : {0, 1, 3, 4, 5, 6, 7}) {
    int added = 0;
    std::vector<double> runs;
    for (int run = 0; run < 3; ++run) {
      runs.push_back(TimeMs([&] { added = app.list().RebuildIndex(column); }));
      all.push_back(runs.back());
    }
    std::printf("rebuild index of column %d (%s): median %.0f ms of 3, %d records\n", column,
                console::StoreDirOf(column), Median(runs), added);
  }
  std::printf("column sort rebuild, all columns: median %.0f ms\n", Median(all));

  // A header click as the page sends it, with the rebuild on the sort worker: the loop's
  // share (the click) and the time until the rebuilt order is posted back.
  {
    std::vector<double> click, done;
    for (int run = 0; run < 5; ++run) {
      platform::IniSetString(common::IniPath(dir), common::kIniSection, "LASTSETTINGUPDATE",
                             "209912312359");
      std::promise<void> posted;
      bool once = false;
      app.SetPoster([&](std::function<void()> task) {
        task();
        if (!once) posted.set_value();
        once = true;
        return true;
      });
      const auto t0 = bench::Clock::now();
      app.SortBy(3);
      click.push_back(bench::Ms(bench::Clock::now() - t0));
      posted.get_future().wait();
      done.push_back(bench::Ms(bench::Clock::now() - t0));
    }
    app.SetPoster(nullptr);
    std::printf("header click on the worker: loop busy median %.2f ms, new order after %.0f ms\n",
                Median(click), Median(done));
  }

  // A display log of 99,999 lines, loaded from scratch.
  const std::string log = dir + "/Log/Disp/bench.log";
  {
    std::string text;
    platform::SystemTime t = now;
    for (int i = 0; i < 99999; ++i) {
      text += common::FormatLogLine(i % 7 == 0 ? -906 : 12, t, common::HexKey("server-00042"),
                                    i % 7 == 0 ? "Request timed out" : "12ms");
    }
    platform::WriteFileAtomic(log, text);
  }
  std::vector<double> loads;
  for (int run = 0; run < 5; ++run) {
    console::DisplayLog pane;
    loads.push_back(TimeMs([&] { pane.Load(log); }));
    if (pane.LineCount() != 99999) std::printf("unexpected line count %zu\n", pane.LineCount());
  }
  std::printf("display log of 99,999 lines: median load %.1f ms\n", Median(loads));
  platform::RemoveFile(log);

  if (argc > 2) IdleFigures(argv[2], dir);
  std::printf("(remove %s when done)\n", dir.c_str());
  return 0;
}
