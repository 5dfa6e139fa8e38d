// A full run of WebPortSentry and of EchoSentry over 1,000 accounts that all answer on
// loopback, timed end to end (the agent programs as the console starts them), against the
// same run's parts measured in this process: the per-account file work of the frame with
// a check that takes no time, and the bare network checks.
//
// Usage: agents_bench [accounts] [repetitions]. Prints medians.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "HostCheck.h"
#include "agents/framework/account_frame.h"
#include "agents/framework/agent_profiles.h"
#include "bench/bench_timing.h"
#include "common/account_key.h"
#include "common/file_ops.h"
#include "common/status_update.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "testkit.h"

namespace {

using bench::Median;
using bench::TimeMs;

// Program directory with `count` accounts of one check, logging every result.
void Populate(testkit::ProgramDir& pd, int count, common::StatusFolder folder, int group,
              int port) {
  testkit::SetLogging(pd, group, true, true);
  for (int i = 0; i < count; ++i) {
    common::AccountFile a = testkit::ServerAccount("server" + std::to_string(i), "127.0.0.1");
    a.record.pingOn = 1;
    a.record.pingTimeout = 2;
    a.record.httpPortOn = 1;
    a.record.httpTimeout = 2;
    a.record.httpPort = static_cast<uint32_t>(port);
    testkit::AddAccount(pd, a, folder);
  }
}

// A check that succeeds at once: what is left is the frame's own file work.
class NoCheck : public agents::BlockingCheck {
 public:
  bool Enabled(const common::AccountRecord&) const override { return true; }
  agents::CheckResult Check(agents::RunContext&, agents::AccountJob& job) override {
    agents::CheckResult r;
    r.code = 1;
    r.logCode = 1;
    r.message = "HTTP Port 80 OK";
    r.errorText = " Domain/IP: " + job.host;
    return r;
  }
};

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 1000;
  const int reps = argc > 2 ? std::atoi(argv[2]) : 3;
  testkit::LineServer web("HTTP/1.0 200 OK\r\n\r\n", true);
  if (!web.ok()) {
    std::fprintf(stderr, "cannot listen on loopback\n");
    return 1;
  }

  std::vector<double> webRun, echoRun, frame, probe, ping;
  for (int r = 0; r < reps; ++r) {
    testkit::ProgramDir webDir;
    Populate(webDir, count, common::StatusFolder::kHttpPort, common::kGroupHttp, web.port());
    webRun.push_back(TimeMs([&] { webDir.RunAgent("WebPortSentry"); }));

    testkit::ProgramDir echoDir;
    Populate(echoDir, count, common::StatusFolder::kPing, common::kGroupPing, 0);
    echoRun.push_back(TimeMs([&] { echoDir.RunAgent("EchoSentry"); }));

    testkit::ProgramDir frameDir;
    Populate(frameDir, count, common::StatusFolder::kHttpPort, common::kGroupHttp, web.port());
    agents::RunContext run(agents::kWebPortProfile, frameDir.dir(), 1);
    run.scan = common::ReadScanSettings(frameDir.dir());
    run.state.Load();
    NoCheck check;
    std::vector<std::string> keys = platform::ListFiles(frameDir / "HTTPData");
    frame.push_back(TimeMs([&] {
      for (const std::string& key : keys) agents::CheckAccount(run, check, key);
    }));

    probe.push_back(TimeMs([&] {
      for (int i = 0; i < count; ++i) IsWebPortOpen("127.0.0.1", web.port(), 2000);
    }));
    ping.push_back(TimeMs([&] {
      for (int i = 0; i < count; ++i) Ping("127.0.0.1", 2000, 32, 1, 0);
    }));
  }

  const double w = Median(webRun), e = Median(echoRun), f = Median(frame), p = Median(probe),
               g = Median(ping);
  std::printf("accounts per run                 %d (median of %d runs)\n", count, reps);
  std::printf("WebPortSentry full run           %8.1f ms  %6.3f ms/account\n", w, w / count);
  std::printf("EchoSentry full run              %8.1f ms  %6.3f ms/account\n", e, e / count);
  std::printf("frame file work, no check        %8.1f ms  %6.3f ms/account\n", f, f / count);
  std::printf("IsWebPortOpen alone              %8.1f ms  %6.3f ms/account\n", p, p / count);
  std::printf("Ping alone                       %8.1f ms  %6.3f ms/account\n", g, g / count);
  std::printf("file work share of the HTTP run  %8.1f %%\n", 100.0 * f / w);
  std::printf("file work share of the ping run  %8.1f %%\n", 100.0 * f / e);
  std::printf("web port checks served           %d\n", web.accepted());
  return 0;
}
