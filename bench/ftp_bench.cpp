// One FTP round trip (upload, download, delete of the 46-byte test file) against a local
// vsftpd: the median time per stage and in total through libFileFerry.so, next to the curl
// program doing the same three operations, measured in the same run, rounds interleaved.
// Needs root (vsftpd signs in a local user) and the curl program.
//
//   ftp_bench [rounds]      (default 50)
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "FileFerry.h"
#include "bench/bench_timing.h"
#include "ftp_servers.h"
#include "support/temp_dir.h"

extern char** environ;

namespace {

using bench::Clock;
using bench::Median;
using bench::Ms;

// Runs curl with the arguments, output to /dev/null; true when it exited with 0.
bool Curl(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  std::string program = "/usr/bin/curl";
  argv.push_back(program.data());
  std::vector<std::string> copy = args;
  for (std::string& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return false;
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

struct Stages {
  std::vector<double> up, down, del, total;
  int failures = 0;
  void Add(double u, double d, double x) {
    up.push_back(u);
    down.push_back(d);
    del.push_back(x);
    total.push_back(u + d + x);
  }
};

// Times one call; counts it as a failure unless it returned true.
double Timed(const std::function<bool()>& call, int* failures) {
  const auto start = Clock::now();
  if (!call()) ++*failures;
  return Ms(Clock::now() - start);
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50;
  ftptest::Vsftpd server;
  if (!server.ok()) {
    std::fprintf(stderr, "ftp_bench: %s\n", server.skipReason().c_str());
    return 1;
  }
  testsupport::TempDir dir;
  const std::string source = dir / "FTP_test.text";
  const std::string target = dir / "samplerc.dat";
  std::ofstream(source) << "This is a FTP test file used by KT.Varnock 2.0";
  // curl reads the sign-in from a file, not from its command line.
  const std::string netrc = dir / "netrc";
  std::ofstream(netrc) << "machine 127.0.0.1 login " << ftptest::kUser << " password "
                       << ftptest::kPassword << "\n";
  ::chmod(netrc.c_str(), 0600);
  const std::string host = server.server();
  const std::string url = "ftp://" + host + "/";
  const char* user = ftptest::kUser;
  const char* password = ftptest::kPassword;
  char error[1024];

  Stages lib, curl;
  const std::vector<std::string> common = {"-s", "-P", "-", "--netrc-file", netrc};
  auto withCommon = [&](std::vector<std::string> args) {
    args.insert(args.begin(), common.begin(), common.end());
    return args;
  };
  for (int i = 0; i < rounds; ++i) {
    ::unlink(target.c_str());
    double u = Timed(
        [&] {
          return SendFileToHost(host.c_str(), user, password, source.c_str(), "FTP_test.text", 5000,
                                error) == 1;
        },
        &lib.failures);
    double d = Timed(
        [&] {
          return ReceiveFileFromHost(host.c_str(), user, password, "FTP_test.text", target.c_str(),
                                     5000, error) == 1;
        },
        &lib.failures);
    double x = Timed(
        [&] {
          return DeleteFileFromHost(host.c_str(), user, password, "FTP_test.text", 5000, error) ==
                 1;
        },
        &lib.failures);
    lib.Add(u, d, x);

    ::unlink(target.c_str());
    u = Timed(
        [&] {
          return Curl(withCommon({"-T", source, url + "FTP_test.text"}));
        },
        &curl.failures);
    d = Timed(
        [&] {
          return Curl(withCommon({"-o", target, url + "FTP_test.text"}));
        },
        &curl.failures);
    x = Timed(
        [&] {
          return Curl(withCommon({"-I", "-Q", "DELE FTP_test.text", url}));
        },
        &curl.failures);
    curl.Add(u, d, x);
  }

  std::printf("FTP round trip against vsftpd on %s, %d rounds (median ms)\n", host.c_str(), rounds);
  std::printf("%-10s %12s %12s %8s\n", "stage", "FileFerry", "curl", "ratio");
  auto row = [](const char* name, const std::vector<double>& a, const std::vector<double>& b) {
    const double ma = Median(a), mb = Median(b);
    std::printf("%-10s %12.2f %12.2f %8.2f\n", name, ma, mb, mb > 0 ? ma / mb : 0);
  };
  row("upload", lib.up, curl.up);
  row("download", lib.down, curl.down);
  row("delete", lib.del, curl.del);
  row("total", lib.total, curl.total);
  std::printf("failed calls: FileFerry %d, curl %d\n", lib.failures, curl.failures);
  return lib.failures == 0 && curl.failures == 0 ? 0 : 1;
}
