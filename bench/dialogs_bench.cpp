// The Edit/Delete dialog and the add dialog with 30,000 accounts: opening the list (the
// account folder listed and the first rows read), scrolling to another page, and adding
// one account through the same request the page sends. A plain program, one run; medians,
// with reading one page of records directly as the baseline of the same run.
//
//   dialogs_bench [accounts]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "bench/bench_accounts.h"
#include "bench/bench_timing.h"
#include "common/account_key.h"
#include "common/accounts.h"
#include "common/file_ops.h"
#include "common/layout.h"
#include "common/record_texts.h"
#include "common/status_update.h"
#include "console/api.h"
#include "console/console_app.h"
#include "platform/files.h"
#include "varnindex/VarnIndex.h"

namespace {

using bench::Median;
using bench::TimeMs;

constexpr int kPage = 15;  // rows the dialog shows, plus one

void Populate(const std::string& dir, int count) {
  const platform::SystemTime now = platform::LocalNow();
  const std::string index = common::ListViewDir(dir);
  for (int i = 0; i < count; ++i) {
    bench::WritePingAccount(dir, index, bench::ServerName((i * 7919) % count), bench::ServerHost(i),
                            {}, common::NewCheckStatus(now));
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 30000;
  char tmpl[] = "/tmp/varn-dialogs-bench-XXXXXX";
  const std::string dir = ::mkdtemp(tmpl);
  std::printf("program directory %s, %d accounts\n", dir.c_str(), count);
  std::fflush(stdout);
  Populate(dir, count);
  if (::chdir(dir.c_str()) != 0) return 1;
  console::ConsoleApp app(dir, "/nonexistent",
                          [](const std::string&, const std::vector<std::string>&) { return true; });
  app.StartUp();
  bool quit = false;

  std::vector<double> base, open, scroll, add;
  const std::vector<std::string> keys = common::ListAccounts(dir);
  for (int run = 0; run < 15; ++run) {
    base.push_back(TimeMs([&] {
      for (int i = 0; i < kPage; ++i) {
        common::AccountRecord r{};
        common::ReadFixedFile(common::AccountPath(dir, keys[(run * 997 + i) % keys.size()]), &r,
                              sizeof r);
      }
    }));
    open.push_back(TimeMs([&] {
      console::Act(app, "accounts-list", {{"first", 0}, {"count", kPage}, {"refresh", true}},
                   &quit);
    }));
    const int first = (run * 1999) % (count - kPage);
    scroll.push_back(TimeMs([&] {
      console::Act(app, "accounts-list", {{"first", first}, {"count", kPage}}, &quit);
    }));
    const std::string name = "added-" + std::to_string(run);
    nlohmann::json form = {{"type", 0}, {"name", name}, {"domain", "127.0.0.1"}, {"ping", true}};
    nlohmann::json answer;
    add.push_back(TimeMs([&] {
      answer = console::Act(app, "account-save", {{"form", form}}, &quit);
    }));
    if (answer.value("ok", false) != true) {
      std::fprintf(stderr, "add refused: %s\n", answer.dump().c_str());
      return 1;
    }
    console::Act(app, "account-delete", {{"key", common::HexKey(name)}}, &quit);
  }
  const double b = Median(base);
  std::printf("baseline: %d records read directly   median %8.3f ms\n", kPage, b);
  std::printf("Edit/Delete open (list + first page)  median %8.3f ms  (%.1f x baseline)\n",
              Median(open), Median(open) / b);
  std::printf("Edit/Delete scroll to another page    median %8.3f ms  (%.1f x baseline)\n",
              Median(scroll), Median(scroll) / b);
  std::printf("add one account with %d existing  median %8.3f ms  (%.1f x baseline)\n", count,
              Median(add), Median(add) / b);
  std::string cleanup = "rm -rf '" + dir + "'";
  return std::system(cleanup.c_str()) == 0 ? 0 : 1;
}
