// The e-mail round trip against local servers (aiosmtpd delivering into Maildirs that a
// private dovecot serves): one round trip split into its stages, SMTP (the mail engine),
// delivery wait and POP3 (libInboxPull.so), medians over the rounds; then the agent's
// whole run for one account next to those stages, so the agent's own share shows; then
// ten accounts in one EMAIL launch: total time and the peak memory of the runs. Needs
// root (dovecot switches to the mail user).
//
//   roundtrip_bench [rounds]      (default 15)
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "InboxPull.h"
#include "bench/bench_timing.h"
#include "common/account_key.h"
#include "common/file_ops.h"
#include "mail/one_mail.h"
#include "mail_servers.h"
#include "platform/files.h"
#include "support/temp_dir.h"
#include "testkit.h"

namespace {

using bench::Clock;
using bench::Median;
using bench::Ms;

constexpr const char* kPassword = "Bench-Pop-1";

bool AnyFile(const std::string& dir) {
  return !platform::ListFiles(dir).empty();
}

// Peak memory of the RoundTripSentry processes while `done` is false: the largest single
// process (VmHWM) and the largest sum of resident sizes seen at once.
struct MemoryWatch {
  long largestKb = 0, sumKb = 0;
  int processes = 0;
  void Sample() {
    long sum = 0;
    DIR* d = ::opendir("/proc");
    if (d == nullptr) return;
    while (dirent* e = ::readdir(d)) {
      const std::string pid = e->d_name;
      if (pid.empty() || pid[0] < '0' || pid[0] > '9') continue;
      std::ifstream comm("/proc/" + pid + "/comm");
      std::string name;
      std::getline(comm, name);
      if (name != "RoundTripSentry") continue;
      seen[pid] = true;
      // A process that ended since the listing counts as nothing.
      const pid_t id = static_cast<pid_t>(std::atol(pid.c_str()));
      largestKb = std::max(largestKb, bench::StatusKb(id, "VmHWM:"));
      sum += std::max(0L, bench::StatusKb(id, "VmRSS:"));
    }
    ::closedir(d);
    sumKb = std::max(sumKb, sum);
    processes = static_cast<int>(seen.size());
  }
  std::map<std::string, bool> seen;
};

common::AccountFile Account(const std::string& name, int smtpPort, int popPort,
                            const std::string& user) {
  common::AccountFile a = testkit::ServerAccount(name, "127.0.0.1");
  common::AccountRecord& r = a.record;
  r.type = common::kEmail;
  r.isEmail = 1;
  common::SetField(r.popServer, "127.0.0.1");
  r.smtpPort = static_cast<uint32_t>(smtpPort);
  r.popPort = static_cast<uint32_t>(popPort);
  r.smtpPortTimeout = 5;
  r.popPortTimeout = 5;
  r.sendReceiveTimeout = 60;
  common::SetField(r.testRecipient, user + "@test.local");
  common::SetField(r.popUser, user);
  common::SetField(r.popPassword, kPassword);
  return a;
}

// Starts the EMAIL group's launch and waits until every account run is over. `launcherMs`:
// until the launching process itself ended (parameter files written, runs started).
double LaunchMs(testkit::ProgramDir& pd, MemoryWatch* watch, double* launcherMs = nullptr) {
  const auto start = Clock::now();
  testkit::RunProgram(pd.bin() + "/RoundTripSentry", {pd.dir(), "1"});
  if (launcherMs) *launcherMs = Ms(Clock::now() - start);
  for (;;) {
    bool pending = false;
    for (const std::string& name : platform::ListFiles(pd / "temp"))
      pending = pending || name.rfind("EML", 0) == 0;
    if (watch) watch->Sample();
    if (!pending) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return Ms(Clock::now() - start);
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
  std::vector<mailtest::MailUser> users = {{"bench", kPassword}};
  for (int i = 0; i < 10; ++i) users.push_back({"user" + std::to_string(i), kPassword});
  mailtest::Dovecot pop(users);
  if (!pop.ok()) {
    std::fprintf(stderr, "dovecot: %s\n", pop.skipReason().c_str());
    return 1;
  }
  mailtest::MaildirSmtp smtp(pop);
  if (!smtp.ok()) {
    std::fprintf(stderr, "aiosmtpd did not start\n");
    return 1;
  }
  testsupport::TempDir temp;
  const std::string newDir = pop.mailRoot() + "/bench/new";

  // 1. The stages of one round trip in this process and, right after it in the same round
  // (so both see the same load of the machine), the agent's whole run for one account.
  testkit::ProgramDir agentDir;
  agentDir.AddProgram("RoundTripSentry");
  testkit::AddAccount(agentDir, Account("bench", smtp.port(), pop.port(), "bench"),
                      common::StatusFolder::kEmail);
  {
    common::AlertFile alert;
    common::SetField(alert.settings.fromAddress, "monitor@test.local");
    common::WriteAlert(agentDir.dir(), alert);
  }
  testkit::SetLogging(agentDir, common::kGroupEmail, true, true);
  std::vector<double> smtpMs, waitMs, popMs, totalMs, agentMs, launcherMs, ownMs, ownShare;
  for (int round = 0; round < rounds; ++round) {
    mail::MailJob job;
    job.charset = 0;
    job.smtpHost = "127.0.0.1";
    job.smtpPort = smtp.port();
    job.from = "monitor@test.local";
    job.to = "bench@test.local";
    job.subject = "KT.Varnock POP Checking ID: bench " + std::to_string(round);
    job.body = "KT.Varnock POP Checking SMTP: 127.0.0.1, POP: 127.0.0.1";
    const auto t0 = Clock::now();
    const mail::OneMailResult sent = mail::SendOneMail(job, "", "", temp.path(), 5000);
    const auto t1 = Clock::now();
    while (!AnyFile(newDir) && Clock::now() - t1 < std::chrono::seconds(10))
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    const auto t2 = Clock::now();
    const std::string box = temp / ("box" + std::to_string(round));
    const int32_t got = POP3_RetrieveAllWithPort("127.0.0.1", "bench", kPassword, box.c_str(),
                                                 ".eml", 1, 0, "", pop.port(), 5000);
    const auto t3 = Clock::now();
    if (sent.outcome != mail::OneMailOutcome::kSent || got != 1) {
      std::fprintf(stderr, "round %d failed (send %d, fetched %d)\n", round,
                   static_cast<int>(sent.outcome), got);
      return 1;
    }
    smtpMs.push_back(Ms(t1 - t0));
    waitMs.push_back(Ms(t2 - t1));
    popMs.push_back(Ms(t3 - t2));
    totalMs.push_back(Ms(t3 - t0));
    double launcher = 0;
    const double agent = LaunchMs(agentDir, nullptr, &launcher);
    agentMs.push_back(agent);
    launcherMs.push_back(launcher);
    ownMs.push_back(agent - Ms(t3 - t0));
    ownShare.push_back(100.0 * (agent - Ms(t3 - t0)) / agent);
  }
  const std::string log = agentDir.TodayLog();
  size_t found = 0;
  for (size_t at = 0; (at = log.find("Mail Receive OK", at)) != std::string::npos; ++at) ++found;
  if (found != static_cast<size_t>(rounds)) {
    std::fprintf(stderr, "agent runs: %zu of %d found their message\n", found, rounds);
    return 1;
  }
  std::printf("one round trip, median of %d rounds:\n", rounds);
  std::printf("  SMTP send          %8.2f ms\n", Median(smtpMs));
  std::printf("  delivery wait      %8.2f ms\n", Median(waitMs));
  std::printf("  POP3 fetch+delete  %8.2f ms\n", Median(popMs));
  std::printf("  send to found      %8.2f ms\n", Median(totalMs));
  std::printf("agent run for one account (launch to end): %.2f ms\n", Median(agentMs));
  std::printf("  the launching process (parameter file, start of the run): %.2f ms\n",
              Median(launcherMs));
  std::printf("  the agent's own work beyond the round trip of the same round: %.2f ms (%.0f%%)\n",
              Median(ownMs), Median(ownShare));

  // 3. Ten accounts in one EMAIL launch.
  {
    testkit::ProgramDir pd;
    pd.AddProgram("RoundTripSentry");
    for (int i = 0; i < 10; ++i) {
      testkit::AddAccount(
          pd,
          Account("acct" + std::to_string(i), smtp.port(), pop.port(), "user" + std::to_string(i)),
          common::StatusFolder::kEmail);
    }
    common::AlertFile alert;
    common::SetField(alert.settings.fromAddress, "monitor@test.local");
    common::WriteAlert(pd.dir(), alert);
    testkit::SetLogging(pd, common::kGroupEmail, true, true);
    MemoryWatch watch;
    const double total = LaunchMs(pd, &watch);
    const std::string log = pd.TodayLog();
    size_t found = 0;
    for (size_t at = 0; (at = log.find("Mail Receive OK", at)) != std::string::npos; ++at) ++found;
    std::printf("ten accounts in one launch: %.0f ms in all, %zu of 10 found\n", total, found);
    std::printf("  processes seen %d; peak of one process %ld kB; peak of all at once %ld kB\n",
                watch.processes, watch.largestKb, watch.sumKb);
  }
  return 0;
}
