// IsMailPortOpen and IsWebPortOpen against loopback servers that behave and misbehave,
// and against a namespace where nothing answers.
#include "hostcheck/port_check.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <sstream>

#include "hostcheck/page_check.h"
#include "hostcheck/port_probe.h"
#include "loopback_servers.h"
#include "net_lab.h"
#include "platform/clock.h"
#include "support/temp_dir.h"

namespace hostcheck {
namespace {

using hostchecktest::ReadRequestHead;
using hostchecktest::ScriptedServer;
using hostchecktest::SendAll;
using hostchecktest::WaitForPeerClose;

using Behaviour = void (*)(int fd, const std::atomic<bool>& stopping);

void Greets(int fd, const std::atomic<bool>& stopping) {
  SendAll(fd, "220 mail.example ESMTP ready\r\n");
  WaitForPeerClose(fd, stopping);
}
void StaysSilent(int fd, const std::atomic<bool>& stopping) {
  WaitForPeerClose(fd, stopping);
}
void ClosesAtOnce(int, const std::atomic<bool>&) {}
void Resets(int fd, const std::atomic<bool>&) {
  linger hard{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
}
void AnswersNotFound(int fd, const std::atomic<bool>& stopping) {
  ReadRequestHead(fd);
  SendAll(fd, "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
  WaitForPeerClose(fd, stopping);
}
// One byte every 200 ms: slower in total than the 1000 ms time-out, but each byte in time.
void Trickles(int fd, const std::atomic<bool>& stopping) {
  for (char c : std::string("220 hi\r\n")) {
    ::usleep(200 * 1000);
    SendAll(fd, std::string(1, c));
  }
  WaitForPeerClose(fd, stopping);
}
// Bytes without a line feed for as long as the peer listens.
void StreamsWithoutLineFeed(int fd, const std::atomic<bool>& stopping) {
  std::string chunk(1000, 'x');
  while (!stopping) {
    if (::send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL) <= 0) return;
  }
}
// Answers a bare line feed only after a request (the probe) came.
void AnswersAfterRequest(int fd, const std::atomic<bool>& stopping) {
  if (ReadRequestHead(fd, 2000).empty()) return WaitForPeerClose(fd, stopping);
  SendAll(fd, "HTTP/1.1 200 OK\r\n");
  WaitForPeerClose(fd, stopping);
}

struct BehaviourCase {
  const char* name;
  Behaviour behaviour;
  int32_t timeoutMs;
  int32_t mail;
  int32_t web;
  int32_t webOtherwise = 0;  // a second correct result when timing decides between two
};

std::vector<BehaviourCase> BehaviourCases() {
  return {
      {"greeting line", Greets, 2000, 1, 1},
      {"silent after accept", StaysSilent, 300, -906, -906},
      {"closes at once", ClosesAtOnce, 2000, 1, 1},
      // The probe is sent after the connect: a reset that lands first fails the send (-904),
      // one that lands later is read as the close (1).
      {"resets the connection", Resets, 2000, 1, 1, -904},
      {"answers 404", AnswersNotFound, 2000, -906, 1},
      {"trickled greeting", Trickles, 1000, 1, 1},
      {"endless bytes without a line feed", StreamsWithoutLineFeed, 2000, 1, 1},
      {"answers only a request", AnswersAfterRequest, 300, -906, 1},
  };
}

TEST(PortCheck, ResultsByServerBehaviour) {
  for (const BehaviourCase& c : BehaviourCases()) {
    SCOPED_TRACE(c.name);
    ScriptedServer server(c.behaviour);
    int64_t start = platform::MonotonicMs();
    EXPECT_EQ(CheckPort("127.0.0.1", server.port(), c.timeoutMs, PortProbe::kGreeting), c.mail);
    int32_t web = CheckPort("127.0.0.1", server.port(), c.timeoutMs, PortProbe::kWebRequest);
    if (c.webOtherwise != 0 && web == c.webOtherwise) web = c.web;
    EXPECT_EQ(web, c.web);
    EXPECT_LT(platform::MonotonicMs() - start, 10000);
  }
}

// A byte every 50 ms meets each 200 ms wait, but the check as a whole ends at its overall
// deadline (10 times the time-out) instead of after the 8 s the trickle lasts.
TEST(PortCheck, TricklingPeerEndsAtTheOverallDeadline) {
  ScriptedServer server([](int fd, const std::atomic<bool>& stopping) {
    int64_t until = platform::MonotonicMs() + 8000;
    while (!stopping && platform::MonotonicMs() < until) {
      if (::send(fd, "x", 1, MSG_NOSIGNAL) <= 0) return;
      ::usleep(50 * 1000);
    }
    SendAll(fd, "\n");
    WaitForPeerClose(fd, stopping);
  });
  for (PortProbe probe : {PortProbe::kGreeting, PortProbe::kWebRequest}) {
    int64_t start = platform::MonotonicMs();
    EXPECT_EQ(CheckPort("127.0.0.1", server.port(), 200, probe), -906);
    int64_t took = platform::MonotonicMs() - start;
    EXPECT_GE(took, 1900);
    EXPECT_LT(took, 6000);
  }
}

TEST(PortCheck, RefusedAndNamedHosts) {
  int port = hostchecktest::UnusedPort();
  EXPECT_EQ(CheckPort("127.0.0.1", port, 1000, PortProbe::kGreeting), -902);
  EXPECT_EQ(CheckPort("127.0.0.1", port, 1000, PortProbe::kWebRequest), -902);
  ScriptedServer server(Greets);
  EXPECT_EQ(CheckPort("localhost", server.port(), 2000, PortProbe::kGreeting), 1)
      << "a name is looked up";
}

TEST(PortCheck, WebProbeIsSentByteForByte) {
  std::mutex lock;
  std::string seen;
  ScriptedServer server([&](int fd, const std::atomic<bool>& stopping) {
    std::string head = ReadRequestHead(fd, 2000);
    {
      std::lock_guard<std::mutex> hold(lock);
      seen = head;
    }
    SendAll(fd, "HTTP/1.1 200 OK\r\n");
    WaitForPeerClose(fd, stopping);
  });
  EXPECT_EQ(CheckPort("127.0.0.1", server.port(), 2000, PortProbe::kWebRequest), 1);
  std::lock_guard<std::mutex> hold(lock);
  EXPECT_EQ(seen, "GET /index.htm HTTP/1.1\r\nConnection: Keep-Alive\r\n\r\n");
  EXPECT_EQ(seen.size(), 51u);
}

// Inside a namespace of the test's own: a name no resolver can answer, and a host on a
// device that swallows every packet (a connect that never completes).
TEST(PortCheck, UnresolvableNameAndUnansweredConnect) {
  hostchecktest::LabOptions options;
  options.tun = true;
  testsupport::TempDir dir;
  std::string page = dir / "page.htm";
  hostchecktest::LabRun run = hostchecktest::RunInNetLab(options, [&](hostchecktest::LabContext&) {
    ProgressWords none(nullptr, nullptr, nullptr, nullptr, nullptr);
    std::ostringstream out;
    out << CheckPort("no-such-host.invalid", 25, 1000, PortProbe::kGreeting) << ' '
        << CheckPort("no-such-host.invalid", 80, 1000, PortProbe::kWebRequest) << ' '
        << CheckPage("no-such-host.invalid", 80, "/", page.c_str(), 1000, none) << ' ';
    int64_t start = platform::MonotonicMs();
    out << CheckPort("10.200.0.2", 25, 500, PortProbe::kGreeting) << ' ';
    out << CheckPort("10.200.0.2", 80, 500, PortProbe::kWebRequest) << ' ';
    out << CheckPage("10.200.0.2", 80, "/", page.c_str(), 500, none) << ' '
        << platform::MonotonicMs() - start;
    return out.str();
  });
  if (!run.skipReason.empty()) GTEST_SKIP() << run.skipReason;
  std::istringstream in(run.output);
  int32_t mailName = 0, webName = 0, pageName = 0, mailConnect = 0, webConnect = 0, pageConnect = 0;
  int64_t elapsed = 0;
  in >> mailName >> webName >> pageName >> mailConnect >> webConnect >> pageConnect >> elapsed;
  EXPECT_EQ(mailName, -901);
  EXPECT_EQ(webName, -902);
  EXPECT_EQ(pageName, -902);
  EXPECT_EQ(mailConnect, -902);
  EXPECT_EQ(webConnect, -902);
  EXPECT_EQ(pageConnect, -902);
  EXPECT_GE(elapsed, 3 * 500 - 20) << "each connect waits its time-out";
  EXPECT_LT(elapsed, 15000) << "and no longer";
}

// ---- the loop that runs many probes at once ----

// Begins one probe on the loop and waits for its result.
int32_t ProbeInLoop(PortProbeLoop& loop, const char* host, int port, int32_t timeoutMs,
                    PortProbe probe) {
  std::mutex mutex;
  std::condition_variable answered;
  int calls = 0;
  int32_t result = 0;
  loop.Begin(host, port, timeoutMs, probe, [&](int32_t r) {
    std::lock_guard<std::mutex> hold(mutex);
    result = r;
    ++calls;
    answered.notify_one();
  });
  std::unique_lock<std::mutex> hold(mutex);
  answered.wait(hold, [&] { return calls > 0; });
  return result;
}

TEST(PortProbeLoop, SameResultsAsTheProbeOnTheCallingThread) {
  std::unique_ptr<PortProbeLoop> loop = PortProbeLoop::Start();
  ASSERT_TRUE(loop);
  for (const BehaviourCase& c : BehaviourCases()) {
    SCOPED_TRACE(c.name);
    ScriptedServer server(c.behaviour);
    EXPECT_EQ(ProbeInLoop(*loop, "127.0.0.1", server.port(), c.timeoutMs, PortProbe::kGreeting),
              c.mail);
    int32_t web =
        ProbeInLoop(*loop, "127.0.0.1", server.port(), c.timeoutMs, PortProbe::kWebRequest);
    if (c.webOtherwise != 0 && web == c.webOtherwise) web = c.web;
    EXPECT_EQ(web, c.web);
  }
  const int refused = hostchecktest::UnusedPort();
  EXPECT_EQ(ProbeInLoop(*loop, "127.0.0.1", refused, 1000, PortProbe::kGreeting), -902);
  EXPECT_EQ(ProbeInLoop(*loop, "", 25, 1000, PortProbe::kGreeting), -901);
  EXPECT_EQ(ProbeInLoop(*loop, "", 80, 1000, PortProbe::kWebRequest), -902);
  EXPECT_EQ(loop->open(), 0u);
}

// A listener that takes connections but never accepts them: each probe is connected and
// then waits for a first line that never comes.
struct SilentListener {
  int port = 0;
  int fd = testsupport::ListenLoopback(&port, 512);
  ~SilentListener() { ::close(fd); }
};

// Greets every connection at once and closes it, many in a row.
struct QuickGreeter {
  static testsupport::ServerOptions Options() {
    testsupport::ServerOptions options;
    options.backlog = 512;
    options.sideBySide = false;
    options.pollMs = 50;
    return options;
  }
  testsupport::ScriptedServer server{{testsupport::Say("220 ready\r\n")}, Options()};
  int port = server.port();
};

size_t OpenDescriptors() {
  return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                           std::filesystem::directory_iterator()));
}

// Two hundred probes begun from four threads against greeting, silent and refusing ports:
// each gets its own result exactly once, and the silent ones wait side by side.
TEST(PortProbeLoop, ManyProbesAtOnceEachEndOnce) {
  std::unique_ptr<PortProbeLoop> loop = PortProbeLoop::Start();
  ASSERT_TRUE(loop);
  QuickGreeter greeter;
  SilentListener silent;
  const int refused = hostchecktest::UnusedPort();
  struct Target {
    int port;
    int32_t timeoutMs;
    int32_t expect;
  };
  const Target targets[] = {{greeter.port, 5000, 1},
                            {silent.port, 300, -906},
                            {refused, 300, -902},
                            {greeter.port, 5000, 1}};
  constexpr int kProbes = 200;
  std::mutex mutex;
  std::condition_variable answered;
  std::vector<int> calls(kProbes, 0);
  std::vector<int32_t> results(kProbes, 0);
  int total = 0;
  const int64_t start = platform::MonotonicMs();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = t; i < kProbes; i += 4) {
        const Target& target = targets[i % 4];
        loop->Begin("127.0.0.1", target.port, target.timeoutMs, PortProbe::kGreeting,
                    [&, i](int32_t r) {
                      std::lock_guard<std::mutex> hold(mutex);
                      results[i] = r;
                      ++calls[i];
                      ++total;
                      answered.notify_one();
                    });
      }
    });
  }
  for (std::thread& t : threads) t.join();
  {
    std::unique_lock<std::mutex> hold(mutex);
    ASSERT_TRUE(
        answered.wait_for(hold, std::chrono::seconds(30), [&] { return total >= kProbes; }));
  }
  const int64_t elapsed = platform::MonotonicMs() - start;
  // A moment for a second, wrong call to show.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::lock_guard<std::mutex> hold(mutex);
  for (int i = 0; i < kProbes; ++i) {
    EXPECT_EQ(calls[i], 1) << i;
    EXPECT_EQ(results[i], targets[i % 4].expect) << i;
  }
  EXPECT_EQ(loop->open(), 0u);
  // 50 silent probes of 300 ms each: 15 s one after another.
  EXPECT_LT(elapsed, 5000) << "the silent probes waited one after another";
}

// Ending the loop with probes still waiting closes their sockets and calls nobody.
TEST(PortProbeLoop, EndingTheLoopClosesOpenProbes) {
  SilentListener silent;
  const size_t before = OpenDescriptors();
  std::atomic<int> calls{0};
  std::unique_ptr<PortProbeLoop> loop = PortProbeLoop::Start();
  ASSERT_TRUE(loop);
  for (int i = 0; i < 20; ++i) {
    loop->Begin("127.0.0.1", silent.port, 10000, PortProbe::kWebRequest, [&](int32_t) { ++calls; });
  }
  EXPECT_EQ(loop->open(), 20u);
  const int64_t start = platform::MonotonicMs();
  loop.reset();
  EXPECT_LT(platform::MonotonicMs() - start, 3000);
  EXPECT_EQ(calls.load(), 0);
  EXPECT_EQ(OpenDescriptors(), before);
}

// Connects that a dead host never answers, in a namespace of the test's own: each ends at
// its own time-out with the connect error, side by side.
TEST(PortProbeLoop, UnansweredConnectsWaitSideBySide) {
  hostchecktest::LabOptions options;
  options.tun = true;
  hostchecktest::LabRun run = hostchecktest::RunInNetLab(options, [&](hostchecktest::LabContext&) {
    std::unique_ptr<PortProbeLoop> loop = PortProbeLoop::Start();
    std::mutex mutex;
    std::condition_variable answered;
    std::ostringstream out;
    int count = 0;
    const int64_t start = platform::MonotonicMs();
    for (int i = 0; i < 10; ++i) {
      std::string host = "10.200.0." + std::to_string(2 + i);
      loop->Begin(host.c_str(), 80, 500, PortProbe::kWebRequest, [&](int32_t r) {
        std::lock_guard<std::mutex> hold(mutex);
        out << r << ' ';
        ++count;
        answered.notify_one();
      });
    }
    std::unique_lock<std::mutex> hold(mutex);
    answered.wait(hold, [&] { return count == 10; });
    out << "elapsed " << platform::MonotonicMs() - start;
    return out.str();
  });
  if (!run.skipReason.empty()) GTEST_SKIP() << run.skipReason;
  std::istringstream in(run.output);
  std::string word;
  int results = 0;
  while (in >> word && word != "elapsed") {
    EXPECT_EQ(word, "-902");
    ++results;
  }
  EXPECT_EQ(results, 10);
  int64_t elapsed = 0;
  in >> elapsed;
  EXPECT_GE(elapsed, 480);
  EXPECT_LT(elapsed, 2500) << "ten 500 ms connects waited one after another";
}

}  // namespace
}  // namespace hostcheck
