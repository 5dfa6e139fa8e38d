// Export and import of the account list at 30,000 accounts. The export writes every record
// of AllData as a CSV line (median of 5 runs); the import takes that file into an empty
// program directory through the console's own import, with the 30 ms pause between lines
// switched off, so the figure is the store's work alone. Baseline of the same run: reading
// every record without writing anything, and the pacing the import adds in normal use.
//
//   transfer_bench [accounts]
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
#include "console/account_transfer.h"
#include "console/api.h"
#include "console/console_app.h"
#include "platform/files.h"
#include "varnindex/VarnIndex.h"

namespace {

using bench::Median;
using bench::TimeMs;

std::string MakeDir(const char* what) {
  char tmpl[64];
  std::snprintf(tmpl, sizeof tmpl, "/tmp/varn-transfer-%s-XXXXXX", what);
  return ::mkdtemp(tmpl);
}

// Accounts as the dialogs write them: a ping row each, every fourth one with a custom
// service, templates with line breaks, commas and quotes.
void Populate(const std::string& dir, int count) {
  const platform::SystemTime now = platform::LocalNow();
  const std::string index = common::ListViewDir(dir);
  platform::MakeDirs(index);
  for (int i = 0; i < count; ++i) {
    common::AccountFile a;
    common::SetField(a.record.localTestFile, common::InDir(dir, common::kTemp, "FTP_test.text"));
    a.record.httpPort = 80;
    a.record.ftpPort = 21;
    a.record.smtpPort = 25;
    a.record.popPort = 110;
    a.downSubject = "Server Down: %S";
    a.downBody = "Server Down\r\nServer: %S, Domain/IP: %I, \"Scan Type\": %C, Time: %T";
    a.upBody = "Server Up\r\nServer: %S, Domain/IP: %I";
    a.mailAddresses = "ops@localhost";
    bench::WritePingAccount(dir, index, bench::ServerName(i), bench::ServerHost(i), a,
                            common::NewCheckStatus(now));
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 30000;
  const std::string from = MakeDir("from");
  std::printf("program directory %s, %d accounts\n", from.c_str(), count);
  std::fflush(stdout);
  Populate(from, count);
  const std::string file = common::InDir(from, "export.csv");

  std::vector<double> read, exported;
  for (int run = 0; run < 5; ++run) {
    read.push_back(TimeMs([&] {
      for (const std::string& key : platform::ListFiles(common::InDir(from, common::kAllData))) {
        bool whole = false;
        common::ReadRecordImage(common::AccountPath(from, key), sizeof(common::AccountRecord),
                                &whole);
      }
    }));
    exported.push_back(TimeMs([&] {
      console::ExportResult r = console::ExportAccounts(from, file, true);
      if (!r.ok || r.accounts != count) std::printf("export failed: %s\n", r.error.c_str());
    }));
  }
  const int64_t bytes = platform::FileSize(file);
  std::printf("read every record (baseline)   median %8.1f ms\n", Median(read));
  std::printf("export %d accounts          median %8.1f ms  (%.2f x the reading, %lld bytes)\n",
              count, Median(exported), Median(exported) / Median(read),
              static_cast<long long>(bytes));

  const std::string to = MakeDir("to");
  console::ConsoleApp app(to, "/nonexistent",
                          [](const std::string&, const std::vector<std::string>&) { return true; });
  app.StartUp();
  auto text = platform::ReadWholeFile(file, console::kMaxImportBytes);
  if (!text) return 1;
  app.SetImportPacing(false);
  const double importMs = TimeMs([&] {
    if (!app.StartImport(std::move(*text)).empty()) std::printf("import refused\n");
    app.ImportTick();
  });
  const nlohmann::json state = console::StateJson(app);
  const double pacingMs = static_cast<double>(count) * console::kImportPacingMs;
  std::printf(
      "import %d lines, no pause      %8.1f ms  (%.3f ms a line; %d accounts, %d rows, "
      "%d rejected)\n",
      count, importMs, importMs / count, state["accounts"].get<int>(), state["rows"].get<int>(),
      state["import"]["last"]["rejected"].get<int>());
  std::printf(
      "the 30 ms pacing adds           %8.1f ms  (store work is %.1f %% of a paced "
      "import)\n",
      pacingMs, 100.0 * importMs / (importMs + pacingMs));
  // The same file from the command line, as "KTVarnock --import FILE --no-pacing" runs it.
  const std::string command = MakeDir("command");
  const double commandMs =
      TimeMs([&] { console::ImportFromCommandLine(command, file, /*paced=*/false); });
  std::printf("--import --no-pacing            %8.1f ms  (%.3f ms a line; %zu accounts)\n",
              commandMs, commandMs / count,
              platform::ListFiles(common::InDir(command, common::kAllData)).size());
  std::string cleanup = "rm -rf '" + from + "' '" + to + "' '" + command + "'";
  return std::system(cleanup.c_str()) == 0 ? 0 : 1;
}
