// The SMTP dialogue against scripted servers: exact transcripts and results.
#include "mail/smtp.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>

#include "mail/encoders.h"
#include "mail/event_loop.h"
#include "mail_test_support.h"
#include "support/scripted_server.h"
#include "support/temp_dir.h"

namespace {

using mailtest::FakeSmtpServer;

class Owner : public mail::CWinsockEventCallback {
 public:
  int result = -1;
  int completions = 0;
  void OnEvent(unsigned message, uintptr_t, intptr_t lParam) override {
    if (message != mail::kMsgUser) return;
    result = static_cast<int>(lParam);
    ++completions;
    mail::EventLoop::Instance().Quit();
  }
};

struct Dialogue {
  std::string host = "127.0.0.1";
  int port = 0;
  std::string user;
  std::string password;
  std::vector<std::string> recipients = {"r@y.test"};
  std::string message = "Subject: t\r\n\r\nhello\r\n.dotted\r\n";
  int64_t boundMs = 20000;
};

int RunDialogue(const Dialogue& d) {
  testsupport::TempDir dir;
  testsupport::WriteFile(dir / "msg.txt", d.message);
  Owner owner;
  mail::CSMTP smtp(&owner, mail::kMsgUser, d.user, d.password);
  smtp.SetBoundMs(d.boundMs);
  if (!smtp.Start(d.host, static_cast<uint16_t>(d.port), dir / "msg.txt", "s@x.test", d.recipients))
    return -2;
  mail::EventLoop::Instance().Run();
  EXPECT_EQ(owner.completions, 1);
  return owner.result;
}

std::string Local() {
  std::string name;
  EXPECT_TRUE(mail::CSMTP::LocalName(&name));
  return name;
}

std::vector<std::string> Body() {
  return {"Subject: t", "", "hello", "..dotted", "."};
}

std::vector<std::string> Join(std::vector<std::vector<std::string>> parts) {
  std::vector<std::string> out;
  for (auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

const std::vector<std::string> kDelivery = {"250 sender ok", "250 rcpt ok", "354 go ahead",
                                            "250 queued", "221 bye"};

std::vector<std::string> Script(std::vector<std::string> head,
                                std::vector<std::string> tail = kDelivery) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

TEST(SmtpDialogue, ScriptedServers) {
  const std::string u64 = mail::Base64Encode("alice");
  const std::string p64 = mail::Base64Encode("s3cret");
  const std::string helo = "HELO " + Local();
  const std::string ehlo = "EHLO " + Local();
  const std::vector<std::string> mail = {"MAIL FROM:<s@x.test>", "RCPT TO:<r@y.test>", "DATA"};
  struct Case {
    const char* name;
    std::vector<std::string> replies;
    std::string user, password;
    int result;
    std::vector<std::string> lines;
  } cases[] = {
      {"greeting without ESMTP: HELO although a login is set",
       Script({"220 mx plain service ready", "250 hello"}), "alice", "s3cret", 1,
       Join({{helo}, mail, Body(), {"QUIT"}})},
      {"ESMTP and a login: EHLO, AUTH LOGIN with the common challenges, RSET",
       Script({"220 mx ESMTP ready", "250-mx\r\n250 AUTH LOGIN", "334 VXNlcm5hbWU6",
               "334 UGFzc3dvcmQ6", "235 welcome", "250 reset"}),
       "alice", "s3cret", 1,
       Join({{ehlo, "AUTH LOGIN", u64, p64, "RSET"}, mail, Body(), {"QUIT"}})},
      {"challenges with a small first letter",
       Script({"220 mx esmtp", "250 mx", "334 dXNlcm5hbWU6", "334 cGFzc3dvcmQ6", "235 ok",
               "250 reset"}),
       "alice", "s3cret", 1,
       Join({{ehlo, "AUTH LOGIN", u64, p64, "RSET"}, mail, Body(), {"QUIT"}})},
      {"a challenge naming neither: RSET and no authentication",
       Script({"220 mx ESMTP", "250 mx", "334 Zm9vOg==", "250 reset"}), "alice", "s3cret", 1,
       Join({{ehlo, "AUTH LOGIN", "RSET"}, mail, Body(), {"QUIT"}})},
      {"ESMTP but no password: HELO", Script({"220 mx ESMTP", "250 hello"}), "alice", "", 1,
       Join({{helo}, mail, Body(), {"QUIT"}})},
      {"two-line greeting gives one event",
       Script({"220-mx first\r\n220 ESMTP second", "250 mx", "334 VXNlcm5hbWU6", "334 UGFzc3dvcmQ6",
               "235 ok", "250 reset"}),
       "alice", "s3cret", 1,
       Join({{ehlo, "AUTH LOGIN", u64, p64, "RSET"}, mail, Body(), {"QUIT"}})},
      {"refused login: QUIT",
       {"220 mx ESMTP", "250 mx", "334 VXNlcm5hbWU6", "334 UGFzc3dvcmQ6", "535 bad credentials",
        "221 bye"},
       "alice",
       "s3cret",
       2,
       {ehlo, "AUTH LOGIN", u64, p64, "QUIT"}},
      {"refused greeting: no QUIT", {"554 not today"}, "", "", 2, {}},
      {"refused sender: QUIT",
       {"220 mx", "250 hi", "553 who", "221 bye"},
       "",
       "",
       2,
       {helo, "MAIL FROM:<s@x.test>", "QUIT"}},
      {"refused DATA: QUIT",
       {"220 mx", "250 hi", "250 ok", "250 ok", "451 later", "221 bye"},
       "",
       "",
       2,
       Join({{helo}, mail, {"QUIT"}})},
      {"refused message after the dot: QUIT",
       Script({"220 mx", "250 hi"}, {"250 ok", "250 ok", "354 go", "552 too big", "221 bye"}), "",
       "", 2, Join({{helo}, mail, Body(), {"QUIT"}})},
      {"close after the final 250 without answering QUIT is still a success",
       Script({"220 mx", "250 hi"}, {"250 ok", "250 ok", "354 go", "250 queued", "<close>"}), "",
       "", 1, Join({{helo}, mail, Body(), {"QUIT"}})},
      {"reply starting with a letter ends the dialogue", {"220 mx", "X50 what"}, "", "", 2, {helo}},
      {"a reply is classed by its first character alone", Script({"220 mx", "25 ok"}), "", "", 1,
       Join({{helo}, mail, Body(), {"QUIT"}})},
      {"no blank after the code: 220mail ESMTP is an ESMTP greeting",
       Script(
           {"220mail ESMTP", "250mx", "334VXNlcm5hbWU6", "334 UGFzc3dvcmQ6", "235ok", "250 reset"}),
       "alice", "s3cret", 1,
       Join({{ehlo, "AUTH LOGIN", u64, p64, "RSET"}, mail, Body(), {"QUIT"}})},
      {"empty reply line ends the dialogue", {"220 mx", ""}, "", "", 2, {helo}},
      {"reply class 6 ends the dialogue", {"220 mx", "650 ok"}, "", "", 2, {helo}},
      {"bare three-digit reply is accepted", Script({"220", "250"}), "", "", 1,
       Join({{helo}, mail, Body(), {"QUIT"}})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSmtpServer server(c.replies);
    ASSERT_GT(server.port(), 0);
    Dialogue d;
    d.port = server.port();
    d.user = c.user;
    d.password = c.password;
    EXPECT_EQ(RunDialogue(d), c.result);
    EXPECT_EQ(server.Lines(), c.lines);
  }
}

long VmKilobytes(const char* field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.compare(0, std::strlen(field), field) == 0) return std::atol(line.c_str() + 7);
  return -1;
}

// AUTH LOGIN asks twice (user name, password). A server that keeps on challenging without
// reading the answers ends the dialogue at the third challenge with result 2, long before
// the bound, and the answers never pile up.
TEST(SmtpDialogue, EndlessLoginChallengesEndTheDialogue) {
  FakeSmtpServer server({"220 mx ESMTP", "250 mx", "<flood>334 VXNlcm5hbWU6"});
  testsupport::TempDir dir;
  testsupport::WriteFile(dir / "msg.txt", "Subject: t\r\n\r\nhello\r\n");
  {  // the high-water mark starts again from here
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
  }
  const long before = VmKilobytes("VmRSS:");
  Owner owner;
  mail::CSMTP smtp(&owner, mail::kMsgUser, "alice", "s3cret");
  smtp.SetBoundMs(4000);
  std::vector<std::string> trace;
  smtp.SetTrace([&trace](const std::string& line) {
    if (line.compare(0, 1, ">") == 0 || line.compare(0, 3, "too") == 0) trace.push_back(line);
  });
  ASSERT_TRUE(smtp.Start("127.0.0.1", static_cast<uint16_t>(server.port()), dir / "msg.txt",
                         "s@x.test", {"r@y.test"}));
  mail::EventLoop::Instance().Run();
  EXPECT_EQ(owner.result, 2);
  EXPECT_EQ(trace,
            (std::vector<std::string>{"> EHLO " + Local(), "> AUTH LOGIN", "> (user name)",
                                      "> (user name)", "too many login challenges", "> QUIT"}));
  const long peak = VmKilobytes("VmHWM:");
  ASSERT_GT(before, 0);
  EXPECT_LT(peak - before, 64 * 1024) << "kB of growth";
}

// Every challenge is answered within its own bound: two slow challenges that together
// take longer than the bound still log in.
TEST(SmtpDialogue, EachLoginChallengeHasItsOwnBound) {
  FakeSmtpServer server(Script({"220 mx ESMTP", "250 mx", "<delay 1200>334 VXNlcm5hbWU6",
                                "<delay 1200>334 UGFzc3dvcmQ6", "235 ok", "250 reset"}));
  Dialogue d;
  d.port = server.port();
  d.user = "alice";
  d.password = "s3cret";
  d.boundMs = 2000;
  EXPECT_EQ(RunDialogue(d), 1);
  EXPECT_EQ(server.Lines().size(), 14u);
}

// What waits for a peer that does not read is capped; Send refuses more.
TEST(SmtpSocket, TheSendQueueIsCapped) {
  int port = 0;
  const int listener = testsupport::ListenLoopback(&port, 1);
  ASSERT_GE(listener, 0);
  in_addr loopback{};
  loopback.s_addr = htonl(INADDR_LOOPBACK);
  mail::SocketStream stream;
  ASSERT_EQ(0, stream.Connect(loopback, static_cast<uint16_t>(port)));
  usleep(100000);  // loopback connects complete at once; let it settle
  const std::string chunk(65536, 'x');
  int rc = 0;
  int sends = 0;
  while (sends < 1000 && (rc == 0 || rc == mail::kWouldBlock)) {
    rc = stream.Send(chunk, 0);
    ++sends;
  }
  EXPECT_EQ(rc, ENOBUFS) << sends << " sends";
  stream.Close();
  close(listener);
}

TEST(SmtpDialogue, RecipientsInOrderAndSecondRefused) {
  FakeSmtpServer server({"220 mx", "250 hi", "250 ok", "250 ok", "550 no such user", "221 bye"});
  Dialogue d;
  d.port = server.port();
  d.recipients = {"a@y.test", "b@y.test", "c@y.test"};
  EXPECT_EQ(RunDialogue(d), 2);
  EXPECT_EQ(server.Lines(),
            (std::vector<std::string>{"HELO " + Local(), "MAIL FROM:<s@x.test>",
                                      "RCPT TO:<a@y.test>", "RCPT TO:<b@y.test>", "QUIT"}));
}

TEST(SmtpDialogue, SilentServerEndsAtTheBound) {
  FakeSmtpServer server({"220 mx", "<silent>"});
  Dialogue d;
  d.port = server.port();
  d.boundMs = 500;
  EXPECT_EQ(RunDialogue(d), 2);
  EXPECT_EQ(server.Lines(), (std::vector<std::string>{"HELO " + Local()}));
}

TEST(SmtpDialogue, LineLengthRule) {
  for (size_t length : {998u, 999u, 1500u}) {
    SCOPED_TRACE(length);
    FakeSmtpServer server(Script({"220 mx", "250 hi"}));
    Dialogue d;
    d.port = server.port();
    d.message = "Subject: long\r\n\r\n" + std::string(length, 'x') + "\r\nend\r\n";
    const bool fits = length < 999;
    EXPECT_EQ(RunDialogue(d), fits ? 1 : 2);
    const std::vector<std::string> lines = server.Lines();
    ASSERT_FALSE(lines.empty());
    // A refused line ends the dialogue without QUIT and without sending the line (nor the
    // lines of its batch).
    EXPECT_EQ(lines.back(), fits ? "QUIT" : "DATA");
    EXPECT_EQ(std::count(lines.begin(), lines.end(), std::string(length, 'x')), fits ? 1 : 0);
  }
}

TEST(SmtpDialogue, OverlongOrEndlessRepliesEndTheDialogue) {
  std::string many = "220-a";
  for (int i = 0; i < 120; ++i) many += "\r\n220-more";
  many += "\r\n220 end";
  for (const std::string& greeting : {"220 " + std::string(5000, 'g'), many}) {
    FakeSmtpServer server({greeting, "250 hi"});
    Dialogue d;
    d.port = server.port();
    EXPECT_EQ(RunDialogue(d), 2);
    EXPECT_TRUE(server.Lines().empty());
  }
}

TEST(SmtpDialogue, ConnectionFailures) {
  Dialogue refused;
  refused.port = mailtest::UnusedPort();
  EXPECT_EQ(RunDialogue(refused), 2);

  mail::EventLoop::Instance().SetResolverForTesting(
      [](const std::string&, std::vector<in_addr>*) { return EHOSTUNREACH; });
  Dialogue unknown;
  unknown.host = "no-such-host.invalid";
  unknown.port = 25;
  EXPECT_EQ(RunDialogue(unknown), 2);
  mail::EventLoop::Instance().SetResolverForTesting({});
}

TEST(SmtpDialogue, NameLookupUsesTheSystemResolver) {
  FakeSmtpServer server(Script({"220 mx", "250 hi"}));
  Dialogue d;
  d.host = "localhost";
  d.port = server.port();
  EXPECT_EQ(RunDialogue(d), 1);
}

// A name with two addresses whose first does not answer (its accept queue is full, so the
// connect times out): the second address is tried. Given as a dotted address, the same
// host is not retried.
TEST(SmtpDialogue, FallsBackToTheNextAddressAfterATimeOut) {
  FakeSmtpServer server(Script({"220 mx", "250 hi"}), "127.0.0.1");
  mailtest::BlackHole hole("127.0.0.3", server.port());
  if (!hole.ok()) GTEST_SKIP() << "cannot listen on 127.0.0.3";
  mail::EventLoop::Instance().SetResolverForTesting(
      [](const std::string& host, std::vector<in_addr>* out) {
        if (host != "two.test") return EHOSTUNREACH;
        in_addr a{}, b{};
        inet_aton("127.0.0.3", &a);
        inet_aton("127.0.0.1", &b);
        out->push_back(a);
        out->push_back(b);
        return 0;
      });
  Dialogue byName;
  byName.host = "two.test";
  byName.port = server.port();
  byName.boundMs = 1000;
  EXPECT_EQ(RunDialogue(byName), 1);
  mail::EventLoop::Instance().SetResolverForTesting({});

  Dialogue dotted;
  dotted.host = "127.0.0.3";
  dotted.port = server.port();
  dotted.boundMs = 1000;
  EXPECT_EQ(RunDialogue(dotted), 2);
}

TEST(SmtpDialogue, AbortReportsResultZero) {
  FakeSmtpServer server({"220 mx", "<silent>"});
  testsupport::TempDir dir;
  testsupport::WriteFile(dir / "msg.txt", "x\r\n");
  Owner owner;
  mail::CSMTP smtp(&owner, mail::kMsgUser, "", "");
  ASSERT_TRUE(smtp.Start("127.0.0.1", static_cast<uint16_t>(server.port()), dir / "msg.txt",
                         "s@x.test", {"r@y.test"}));
  class Aborter : public mail::CWinsockEventCallback {
   public:
    mail::CSMTP* smtp;
    void OnEvent(unsigned, uintptr_t, intptr_t) override { smtp->Abort(true); }
  } aborter;
  aborter.smtp = &smtp;
  mail::EventLoop::Instance().SetTimer(&aborter, 300);
  mail::EventLoop::Instance().Run();
  EXPECT_EQ(owner.result, 0);
  EXPECT_FALSE(smtp.Start("127.0.0.1", 25, dir / "msg.txt", "s@x.test", {}));  // no recipient
}

}  // namespace

namespace {

// A message far larger than one send batch and than the socket buffers: every line arrives
// once, in order, dot-stuffed.
TEST(SmtpDialogue, LargeMessageArrivesWholeAndDotStuffed) {
  std::string message;
  std::vector<std::string> expected;
  for (int i = 0; i < 20000; ++i) {
    const std::string line = (i % 7 == 0 ? "." : "") + std::string("line ") + std::to_string(i) +
                             std::string(static_cast<size_t>(i % 90), 'x');
    message += line + "\r\n";
    expected.push_back((line[0] == '.' ? "." : "") + line);
  }
  FakeSmtpServer server(Script({"220 mx", "250 hi"}));
  Dialogue d;
  d.port = server.port();
  d.message = message;
  EXPECT_EQ(RunDialogue(d), 1);
  std::vector<std::string> lines = server.Lines();
  ASSERT_EQ(lines.size(), expected.size() + 6);  // HELO, MAIL, RCPT, DATA ... ".", QUIT
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), lines.begin() + 4));
  EXPECT_EQ(lines[lines.size() - 2], ".");
}

}  // namespace

namespace {

// In a network namespace of its own (only the loopback device, up), an address outside
// 127/8 has no route, so connecting to it fails at once with "network unreachable". A name
// whose first address is such falls back to the second; the same address given dotted is
// not retried. Runs in a child process, which alone enters the namespace.
int InOwnNetwork(const std::function<int()>& body) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) _exit(77);
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    if (fd < 0 || ioctl(fd, SIOCGIFFLAGS, &ifr) != 0) _exit(78);
    ifr.ifr_flags |= IFF_UP;
    if (ioctl(fd, SIOCSIFFLAGS, &ifr) != 0) _exit(78);
    close(fd);
    _exit(body());
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(SmtpDialogue, FallsBackToTheNextAddressWhenTheNetworkIsUnreachable) {
  const int rc = InOwnNetwork([] {
    FakeSmtpServer server(Script({"220 mx", "250 hi"}));
    mail::EventLoop::Instance().SetResolverForTesting(
        [](const std::string&, std::vector<in_addr>* out) {
          in_addr a{}, b{};
          inet_aton("10.77.0.1", &a);
          inet_aton("127.0.0.1", &b);
          out->push_back(a);
          out->push_back(b);
          return 0;
        });
    Dialogue byName;
    byName.host = "two.test";
    byName.port = server.port();
    const int named = RunDialogue(byName);
    Dialogue dotted;
    dotted.host = "10.77.0.1";
    dotted.port = server.port();
    const int direct = RunDialogue(dotted);
    return named * 10 + direct;  // 12 expected: success by name, failure dotted
  });
  if (rc == 77) GTEST_SKIP() << "no user and network namespaces here";
  if (rc == 78) GTEST_SKIP() << "the loopback device of a new namespace cannot be brought up here";
  EXPECT_EQ(rc, 12);
}

}  // namespace
