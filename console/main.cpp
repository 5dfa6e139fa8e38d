// KTVarnock: the monitor console. Started in its program directory; serves its main window
// to a browser on the loopback address.
//
//   KTVarnock [--dir DIR] [--init] [--port N] [--listen ADDRESS] [--agents DIR]
//   KTVarnock --init-demo [--port N] [--demo-listener N]   writes the demo setup and ends
//   KTVarnock --setup FILE                                  applies a JSON setup and ends
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
#include "console/console_app.h"
#include "console/demo_setup.h"
#include "console/main_loop.h"
#include "console/web_security.h"
#include "console/web_server.h"
#include "platform/files.h"
#include "platform/lock.h"
#include "platform/process.h"

namespace {

constexpr int kDefaultPort = 8650;

struct Options {
  int port = kDefaultPort;
  std::string listen = "127.0.0.1";
  std::string agents;
  bool initDemo = false;
  int demoListener = 8651;
  std::string setupFile;
  std::string dir;    // the program directory; the current folder when empty
  bool init = false;  // use a folder that is neither empty nor a program directory
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
      "usage: KTVarnock [--dir DIR] [--init] [--port N] [--listen ADDRESS] [--agents DIR]\n"
      "       KTVarnock --init-demo [--port N] [--demo-listener N]\n"
      "       KTVarnock --setup FILE\n");
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
  for (const char* mark : {"Varnock.ini", "Setting", "AllData", "Log", "temp", "Wave"}) {
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
    } else if (a == "--agents" && hasValue) {
      opt.agents = argv[++i];
    } else if (a == "--init-demo") {
      opt.initDemo = true;
    } else if (a == "--demo-listener" && hasValue) {
      if (!ParseInt(argv[++i], 1, 65535, &opt.demoListener)) return Usage();
    } else if (a == "--setup" && hasValue) {
      opt.setupFile = argv[++i];
    } else if (a == "--dir" && hasValue) {
      opt.dir = argv[++i];
    } else if (a == "--init") {
      opt.init = true;
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

  // One console per program directory. A lock file that exists is tried at once; a missing
  // one is made only after the port is ours, so a console that cannot listen leaves the
  // program directory as it found it.
  const std::string lockPath = platform::NamedLockPath(dir, "KTVARNOCK");
  platform::FileLock instance;
  const bool serving = !opt.initDemo && opt.setupFile.empty();
  if ((platform::PathExists(lockPath) || !serving) && !instance.TryAcquire(lockPath)) {
    std::fprintf(stderr, "KTVarnock is already running in %s\n", dir.c_str());
    return 0;
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

  const std::string binDir = opt.agents.empty() ? platform::ExecutableDir() : opt.agents;
  console::ConsoleApp app(dir, binDir,
                          [](const std::string& program, const std::vector<std::string>& args) {
                            return platform::SpawnDetached(program, args);
                          });
  console::MainLoop loop;
  const std::string token = console::NewAccessToken();
  console::WebServer web(loop, app, token);
  if (!web.Bind(opt.listen, opt.port)) {
    std::fprintf(stderr,
                 "KTVarnock: cannot listen on %s port %d: the port is in use or not allowed; "
                 "choose another with --port\n",
                 opt.listen.c_str(), opt.port);
    return 1;
  }
  if (!instance.held() && !instance.TryAcquire(lockPath)) {
    std::fprintf(stderr, "KTVarnock is already running in %s\n", dir.c_str());
    return 0;
  }
  app.StartUp();

  loop.AddTimer(1000, [&app] { app.PollScanState(); });
  loop.AddTimer(10000, [&app] { app.SchedulerTick(); });
  // Right after start-up every group with an interval is due.
  loop.Post([&app] { app.SchedulerTick(); });

  const std::string line = web.Address() + "\n";
  platform::WriteFileAtomic(common::InDir(dir, common::kTemp, "console-address.txt"), line, 0600);
  std::printf("KT.Varnock 2.0 console: open %s", line.c_str());
  std::fflush(stdout);

  std::thread server([&web] { web.Serve(); });
  std::thread signals([&loop, stopSignals] {
    int sig = 0;
    sigwait(&stopSignals, &sig);
    loop.Quit();
  });
  signals.detach();

  loop.Run();
  web.Stop();
  server.join();
  app.Exit();
  platform::RemoveFile(common::InDir(dir, common::kTemp, "console-address.txt"));
  std::printf("KT.Varnock 2.0 console stopped.\n");
  return 0;
}
