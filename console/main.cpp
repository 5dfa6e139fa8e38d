// KTVarnock: the monitor console. Started in its program directory; serves its main window
// to a browser on the loopback address.
//
//   KTVarnock [--dir DIR] [--init] [--port N] [--listen ADDRESS [--tls-cert FILE
//             --tls-key FILE]] [--agents DIR] [--new-token]
//   KTVarnock --init-demo [--port N] [--demo-listener N]   writes the demo setup and ends
//   KTVarnock --setup FILE                                  applies a JSON setup and ends
//   KTVarnock [--dir DIR] --export FILE [--replace]         the account list as CSV (an
//                                                           existing FILE only with --replace)
//   KTVarnock [--dir DIR] --import FILE [--no-pacing]       --no-pacing: without the
//                                                           pause between two lines
//   KTVarnock [--dir DIR] --report YYYYMM                   the month's availability (CSV)
//   KTVarnock [--dir DIR] --rebuild-history                 the history store from the logs
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

#include "common/layout.h"
#include "common/status_update.h"
#include "console/account_change.h"
#include "console/account_editing.h"
#include "console/account_transfer.h"
#include "console/console_app.h"
#include "console/history_feed.h"
#include "console/history_routes.h"
#include "console/main_loop.h"
#include "console/maintenance_command.h"
#include "console/setup_command.h"
#include "console/web_security.h"
#include "console/web_server.h"
#include "platform/files.h"
#include "platform/lock.h"
#include "platform/process.h"

namespace {

constexpr int kDefaultPort = 8650;
constexpr int kStartStoreWaitMs = 10000;

struct Options {
  int port = kDefaultPort;
  std::string listen = "127.0.0.1";
  std::string agents;
  bool initDemo = false;
  int demoListener = 8651;
  std::string setupFile;
  std::string tlsCert;
  std::string tlsKey;
  std::string dir;        // the program directory; the current folder when empty
  bool init = false;      // use a folder that is neither empty nor a program directory
  bool newToken = false;  // replace the kept access token (the old address stops working)
  std::string exportFile;
  bool replace = false;  // --export may replace an existing file
  std::string importFile;
  bool noPacing = false;         // --import without the pause between lines
  std::string reportMonth;      // --report YYYYMM
  bool rebuildHistory = false;  // --rebuild-history
  std::vector<std::string> maintenance;  // the words after --maintenance
};

bool ParseInt(const char* text, int lo, int hi, int* out) {
  char* end = nullptr;
  long v = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || v < lo || v > hi) return false;
  *out = static_cast<int>(v);
  return true;
}

int Usage() {
  std::fprintf(
      stderr,
      "usage: KTVarnock [--dir DIR] [--init] [--port N] [--new-token]\n"
      "                 [--listen ADDRESS [--tls-cert FILE --tls-key FILE]] [--agents DIR]\n"
      "       KTVarnock --init-demo [--port N] [--demo-listener N]\n"
      "       KTVarnock --setup FILE\n"
      "       KTVarnock [--dir DIR] --maintenance list | clear\n"
      "                 | once NAME|* YYYYMMDDhhmm YYYYMMDDhhmm | weekly NAME|* DAY hhmm hhmm\n"
      "       KTVarnock [--dir DIR] --export FILE [--replace] | --import FILE [--no-pacing]\n"
      "       KTVarnock [--dir DIR] --report YYYYMM | --rebuild-history\n");
  return 2;
}

std::string CurrentDir() {
  char buf[4096];
  if (::getcwd(buf, sizeof buf) == nullptr) return ".";
  return buf;
}

// A folder the console may use as its program directory: an empty one, or one that already
// holds a program directory's files. Anything else (a home folder, a source tree) would get
// some twenty-five folders and files mixed into it.
bool UsableProgramDir(const std::string& dir) {
  for (const char* mark : {common::kIniFile, common::kSetting, common::kAllData, common::kLog,
                           common::kTemp, common::kWave}) {
    if (platform::PathExists(platform::JoinPath(dir, mark))) return true;
  }
  return platform::ListFiles(dir).empty() && platform::ListDirs(dir).empty();
}

int ApplySetupAndEnd(const std::string& dir, const nlohmann::json& setup) {
  std::string error = console::ApplySetup(dir, setup);
  if (!error.empty()) {
    std::fprintf(stderr, "KTVarnock: %s\n", error.c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    bool hasValue = i + 1 < argc;
    if (a == "--port" && hasValue) {
      if (!ParseInt(argv[++i], 0, 65535, &opt.port)) return Usage();
    } else if (a == "--listen" && hasValue) {
      opt.listen = argv[++i];
    } else if (a == "--tls-cert" && hasValue) {
      opt.tlsCert = argv[++i];
    } else if (a == "--tls-key" && hasValue) {
      opt.tlsKey = argv[++i];
    } else if (a == "--agents" && hasValue) {
      opt.agents = argv[++i];
    } else if (a == "--init-demo") {
      opt.initDemo = true;
    } else if (a == "--demo-listener" && hasValue) {
      if (!ParseInt(argv[++i], 1, 65535, &opt.demoListener)) return Usage();
    } else if (a == "--maintenance" && hasValue) {
      while (i + 1 < argc) opt.maintenance.push_back(argv[++i]);
    } else if (a == "--setup" && hasValue) {
      opt.setupFile = argv[++i];
    } else if (a == "--dir" && hasValue) {
      opt.dir = argv[++i];
    } else if (a == "--init") {
      opt.init = true;
    } else if (a == "--new-token") {
      opt.newToken = true;
    } else if (a == "--report" && hasValue) {
      opt.reportMonth = argv[++i];
    } else if (a == "--rebuild-history") {
      opt.rebuildHistory = true;
    } else if (a == "--replace") {
      opt.replace = true;
    } else if (a == "--no-pacing") {
      opt.noPacing = true;
    } else if ((a == "--export" || a == "--import") && hasValue) {
      // Named from the folder the command was given in, before --dir changes it.
      std::string file = argv[++i];
      if (!file.empty() && file[0] != '/') file = platform::JoinPath(CurrentDir(), file);
      (a == "--export" ? opt.exportFile : opt.importFile) = file;
    } else {
      return Usage();
    }
  }
  if (!opt.dir.empty()) {
    platform::MakeDirs(opt.dir, 0755);
    if (::chdir(opt.dir.c_str()) != 0) {
      std::fprintf(stderr, "KTVarnock: cannot use %s as the program directory: %s\n",
                   opt.dir.c_str(), std::strerror(errno));
      return 1;
    }
  }
  const std::string dir = CurrentDir();
  if (!opt.init && !UsableProgramDir(dir)) {
    std::fprintf(stderr,
                 "KTVarnock: %s is not empty and is not a program directory. Start the console "
                 "in an empty folder or name one with --dir DIR; add --init to use this folder "
                 "anyway.\n",
                 dir.c_str());
    return 1;
  }
  if (dir.size() > 259) {
    std::fprintf(stderr, "KTVarnock: the program directory path is longer than 259 characters\n");
    return 1;
  }

  // The report only reads the history store, also while a console runs.
  if (!opt.reportMonth.empty()) {
    return console::history::PrintReport(dir, opt.reportMonth, stdout, stderr);
  }
  // Windows are a file the alert desk reads at each pass: changed while a console runs too.
  if (!opt.maintenance.empty()) {
    std::string out, err;
    const int code = console::MaintenanceCommand(dir, opt.maintenance, &out, &err);
    if (code == 2) return Usage();
    std::fputs(out.c_str(), stdout);
    if (!err.empty()) std::fprintf(stderr, "KTVarnock: %s\n", err.c_str());
    return code;
  }

  // The listening socket comes first: a refused address or a port in use ends the console
  // before it writes anything into the program directory.
  const bool transfer = !opt.exportFile.empty() || !opt.importFile.empty() || opt.rebuildHistory;
  if (!opt.exportFile.empty() && !opt.importFile.empty()) return Usage();
  if (opt.replace && opt.exportFile.empty()) return Usage();
  if (opt.noPacing && opt.importFile.empty()) return Usage();
  const bool serving = !opt.initDemo && opt.setupFile.empty() && !transfer;
  int listenFd = -1;
  std::string tlsCert;
  std::string tlsKey;
  if (serving) {
    if (opt.tlsCert.empty() != opt.tlsKey.empty()) {
      std::fprintf(stderr, "KTVarnock: --tls-cert and --tls-key go together\n");
      return 2;
    }
    if (!opt.tlsCert.empty()) {
      auto cert = platform::ReadWholeFile(opt.tlsCert, 1u << 20);
      auto key = platform::ReadWholeFile(opt.tlsKey, 1u << 20);
      if (!cert || !key) {
        std::fprintf(stderr, "KTVarnock: cannot read the TLS certificate or key\n");
        return 1;
      }
      tlsCert = std::move(*cert);
      tlsKey = std::move(*key);
    } else if (!console::IsLoopbackAddress(opt.listen)) {
      std::fprintf(stderr,
                   "KTVarnock: %s is not a loopback address; without --tls-cert and --tls-key "
                   "the console listens on loopback only. To reach it from another machine, use "
                   "an SSH tunnel (ssh -L %d:127.0.0.1:%d HOST) or give a TLS certificate.\n",
                   opt.listen.c_str(), opt.port, opt.port);
      return 1;
    }
    std::string error;
    listenFd = console::OpenListenSocket(opt.listen, opt.port, &error);
    if (listenFd < 0) {
      std::fprintf(stderr, "KTVarnock: %s\n", error.c_str());
      return 1;
    }
  }

  // One console per program directory.
  platform::FileLock instance;
  if (!instance.TryAcquire(platform::NamedLockPath(dir, "KTVARNOCK"))) {
    if (transfer) {
      std::fprintf(stderr,
                   "KTVarnock: a console is running on %s; nothing was changed. Use its File "
                   "menu, or stop it first.\n",
                   dir.c_str());
      return 1;
    }
    std::fprintf(stderr, "KTVarnock is already running in %s\n", dir.c_str());
    return 0;
  }

  // A change of the account set that a crash cut short is finished (or undone) before
  // anything reads the accounts. A store held by another process past the wait leaves it
  // to the next change, which finishes it first.
  {
    platform::FileLock store;
    if (store.AcquireWithin(console::AccountStoreLockPath(dir), kStartStoreWaitMs)) {
      console::FinishAccountChange(dir);
    }
  }

  if (!opt.exportFile.empty()) {
    return console::ExportFromCommandLine(dir, opt.exportFile, opt.replace);
  }
  if (!opt.importFile.empty()) {
    return console::ImportFromCommandLine(dir, opt.importFile, !opt.noPacing);
  }
  if (opt.rebuildHistory) {
    return console::history::RebuildHistory(dir, [](const std::string& text) {
      std::fprintf(stderr, "KTVarnock: %s\n", text.c_str());
    });
  }
  if (opt.initDemo) return ApplySetupAndEnd(dir, console::DemoSetup(opt.port, opt.demoListener));
  if (!opt.setupFile.empty()) {
    std::ifstream in(opt.setupFile);
    std::stringstream text;
    text << in.rdbuf();
    nlohmann::json setup = nlohmann::json::parse(text.str(), nullptr, false);
    if (!in || setup.is_discarded()) {
      std::fprintf(stderr, "KTVarnock: cannot read a JSON setup from %s\n", opt.setupFile.c_str());
      return 1;
    }
    return ApplySetupAndEnd(dir, setup);
  }

  // SIGTERM, SIGINT and SIGHUP (the terminal closed, the session ended: a log-off) end the
  // console like a shut-down, with the exit writes; one thread waits for them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  // The console answers a page: a status folder held by another process makes an action
  // fail after a bounded wait instead of hanging every request.
  common::SetStatusLockWait(2000);
  const std::string binDir = opt.agents.empty() ? platform::ExecutableDir() : opt.agents;
  console::ConsoleApp app(dir, binDir,
                          [](const std::string& program, const std::vector<std::string>& args) {
                            return platform::SpawnDetached(program, args);
                          });
  app.StartUp();
  // The history follows the daily logs on a thread of its own.
  console::history::HistoryWorker history(dir);
  history.Start();

  console::MainLoop loop;
  app.SetPoster([&loop](std::function<void()> task) { return loop.Post(std::move(task)); });
  loop.AddTimer(1000, [&app] { app.PollScanState(); });
  loop.AddTimer(10000, [&app] { app.SchedulerTick(); });
  loop.AddTimer(
      console::kImportPacingMs, [&app] { app.ImportTick(); },
      [&app] { return app.import().running(); });
  // Right after start-up every group with an interval is due.
  loop.Post([&app] { app.SchedulerTick(); });

  // The token, and with it the address, lasts from one start to the next.
  const std::string tokenFile = common::InDir(dir, common::kSetting, "console.token");
  bool tokenKept = false;
  const std::string token = console::KeptAccessToken(tokenFile, opt.newToken, &tokenKept);
  if (!tokenKept) {
    std::fprintf(stderr,
                 "KTVarnock: cannot keep the access token in %s; the address changes at the "
                 "next start\n",
                 tokenFile.c_str());
  }
  console::WebServer web({dir, token, std::move(tlsCert), std::move(tlsKey)},
                         console::PostToLoop(loop, app));
  std::string error;
  if (!web.Start(listenFd, opt.listen, &error)) {
    std::fprintf(stderr, "KTVarnock: %s\n", error.c_str());
    app.Exit();
    return 1;
  }
  const std::string line = web.Address() + "\n";
  platform::WriteFileAtomic(common::InDir(dir, common::kTemp, "console-address.txt"), line, 0600);
  std::printf("KT.Varnock 2.0 console: open %s", line.c_str());
  std::fflush(stdout);

  std::thread signals([&loop, stopSignals] {
    int sig = 0;
    sigwait(&stopSignals, &sig);
    loop.Quit();
  });
  signals.detach();

  loop.Run();
  web.Stop();
  history.Stop();
  app.Exit();
  platform::RemoveFile(common::InDir(dir, common::kTemp, "console-address.txt"));
  std::printf("KT.Varnock 2.0 console stopped.\n");
  return 0;
}
