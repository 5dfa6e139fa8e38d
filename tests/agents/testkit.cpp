#include "testkit.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "common/account_key.h"
#include "common/daily_log.h"
#include "common/file_ops.h"
#include "common/status_update.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/ini.h"

namespace testkit {
namespace {

namespace fs = std::filesystem;

// Records argv, standard input and the handed-over file, then marks the record done.
constexpr const char* kStandIn = R"(#!/bin/sh
out="$(dirname "$0")/../calls"
mkdir -p "$out"
rec=$(mktemp "$out/$(basename "$0").XXXXXX") || exit 0  # the test already ended
for a in "$@"; do printf '%s\0' "$a"; done > "$rec.args"
cat > "$rec.stdin"
for a in "$@"; do
  if [ -f "$a" ]; then cp "$a" "$rec.file"; break; fi
done
touch "$rec.done"
)";

pid_t Spawn(const std::string& program, const std::vector<std::string>& args, int outFd) {
  pid_t pid = ::fork();
  if (pid == 0) {
    int devnull = ::open("/dev/null", O_RDWR);
    ::dup2(devnull, 0);
    ::dup2(outFd >= 0 ? outFd : devnull, 1);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  return pid;
}

}  // namespace

int RunProgram(const std::string& program, const std::vector<std::string>& args, int timeoutSec) {
  pid_t pid = Spawn(program, args, -1);
  if (pid < 0) return -1;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSec);
  for (;;) {
    int status = 0;
    pid_t got = ::waitpid(pid, &status, WNOHANG);
    if (got == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -1;
    }
    ::usleep(5000);
  }
}

ProgramDir::ProgramDir() {
  dir_ = temp_ / "prog dir";  // a blank in the path, as the command line allows
  bin_ = temp_ / "bin";
  platform::MakeDirs(dir_);
  platform::MakeDirs(bin_);
  for (const char* name : {"VarnPost", "LanBellCmd"}) {
    const std::string path = platform::JoinPath(bin_, name);
    testsupport::WriteFile(path, kStandIn);
    ::chmod(path.c_str(), 0755);
  }
  // Alert files go to a folder of the test's own.
  platform::IniSetString(common::IniPath(dir_), "PROGRAM", "TEMPDIR", temp_ / "alerts");
  // The whole suite runs once more with the accounts checked one after another.
  if (const char* parallel = std::getenv("VARN_TEST_SCANPARALLEL")) {
    platform::IniSetString(common::IniPath(dir_), "PROGRAM", "SCANPARALLEL", parallel);
  }
}

std::string ProgramDir::operator/(const std::string& relative) const {
  return platform::JoinPath(dir_, relative);
}

void ProgramDir::AddProgram(const std::string& name) {
  const std::string from = platform::JoinPath(VARN_BIN_DIR, name);
  const std::string to = platform::JoinPath(bin_, name);
  std::error_code ec;
  // A hard link keeps the program's own path in this bin folder; copy across file systems.
  fs::create_hard_link(from, to, ec);
  if (ec) fs::copy_file(from, to, fs::copy_options::overwrite_existing);
}

int ProgramDir::RunAgent(const std::string& name, long n) {
  if (!platform::PathExists(platform::JoinPath(bin_, name))) AddProgram(name);
  return RunProgram(platform::JoinPath(bin_, name), {dir_, std::to_string(n)});
}

std::vector<ProgramDir::Call> ProgramDir::Calls(const std::string& program) const {
  std::vector<Call> calls;
  const std::string folder = platform::JoinPath(platform::DirName(bin_), "calls");
  std::vector<std::string> names = platform::ListFiles(folder);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const std::string suffix = ".done";
    if (name.rfind(program + ".", 0) != 0 || name.size() < suffix.size() ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
      continue;
    }
    const std::string base = platform::JoinPath(folder, name.substr(0, name.size() - 5));
    Call call;
    std::string args = testsupport::ReadFile(base + ".args");
    size_t start = 0;
    for (size_t i = 0; i < args.size(); ++i) {
      if (args[i] == '\0') {
        call.args.push_back(args.substr(start, i - start));
        start = i + 1;
      }
    }
    call.stdinData = testsupport::ReadFile(base + ".stdin");
    call.file = testsupport::ReadFile(base + ".file");
    calls.push_back(call);
  }
  return calls;
}

std::vector<ProgramDir::Call> ProgramDir::WaitForCalls(const std::string& program, size_t count) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  std::vector<Call> calls = Calls(program);
  while (calls.size() < count && std::chrono::steady_clock::now() < deadline) {
    ::usleep(20000);
    calls = Calls(program);
  }
  return calls;
}

std::string ProgramDir::Read(const std::string& relative) const {
  return testsupport::ReadFile(platform::JoinPath(dir_, relative));
}

std::string ProgramDir::TodayLog(bool display) const {
  platform::SystemTime now = platform::LocalNow();
  return testsupport::ReadFile(display ? common::DisplayLogPath(dir_, now)
                                       : common::FullLogPath(dir_, now));
}

common::AccountFile ServerAccount(const std::string& name, const std::string& host) {
  common::AccountFile a;
  common::SetField(a.record.key, common::HexKey(name));
  common::SetField(a.record.host, host);
  common::SetField(a.record.pagePath, "/");
  a.record.enabled = 1;
  a.record.type = common::kServer;
  a.record.httpPort = 80;
  a.record.ftpPort = 21;
  a.record.smtpPort = 25;
  a.record.popPort = 110;
  return a;
}

void AddAccount(const ProgramDir& pd, const common::AccountFile& account,
                common::StatusFolder folder) {
  const std::string key = common::FieldText(account.record.key);
  if (!common::WriteAccount(common::AccountPath(pd.dir(), key), account)) {
    throw std::runtime_error("cannot write account");
  }
  if (folder == common::StatusFolder::kCustom) {
    common::CustomStatus s{};
    for (int k = 0; k < 5; ++k) {
      s.slots[k] = common::NewCheckStatus(platform::LocalNow());
      common::SetField(s.names[k], common::FieldText(account.record.customNames[k]));
    }
    common::WriteWholeFile(common::StatusPath(pd.dir(), folder, key), &s, sizeof s);
    return;
  }
  common::CheckStatus s = common::NewCheckStatus(platform::LocalNow());
  common::WriteWholeFile(common::StatusPath(pd.dir(), folder, key), &s, sizeof s);
}

common::CheckStatus ReadStatus(const ProgramDir& pd, common::StatusFolder folder,
                               const std::string& name) {
  common::CheckStatus s{};
  common::ReadStatusRecord(common::StatusPath(pd.dir(), folder, common::HexKey(name)), &s,
                           sizeof s);
  return s;
}

void SetLogging(const ProgramDir& pd, int group, bool on, bool all) {
  common::ScanSettings s = common::ReadScanSettings(pd.dir());
  s.logOn[group] = on ? 1 : 0;
  s.logAll[group] = all ? 1 : 0;
  common::WriteScanSettings(pd.dir(), s);
}

LineServer::LineServer(std::string greeting, bool readFirst, const std::string& address, int port) {
  testsupport::ServerOptions options;
  options.address = address;
  options.port = port;
  options.backlog = 128;
  options.sideBySide = false;
  options.pollMs = 50;
  core_ = std::make_unique<testsupport::ScriptedServer>(
      [greeting = std::move(greeting), readFirst](testsupport::Connection& c) {
        if (readFirst) c.ReadSome(512, 2000);
        c.Send(greeting);
      },
      options);
}

int ClosedPort() {
  return testsupport::UnusedLoopbackPort();
}

PythonServer::PythonServer(const std::string& script, const std::vector<std::string>& args) {
  if (::access("/usr/bin/python3", X_OK) != 0) return;
  std::vector<std::string> argv = {"/usr/bin/python3", "-u", "-c", script};
  argv.insert(argv.end(), args.begin(), args.end());
  server_ = std::make_unique<testsupport::AnnouncedServer>(argv);
}

}  // namespace testkit
