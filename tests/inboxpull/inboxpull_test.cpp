// POP3_RetrieveAllWithPort as the agent loads it, against a private dovecot on loopback and
// a scripted server for a server without UIDL.
#include "InboxPull.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>

#include "mail_servers.h"
#include "platform/files.h"
#include "support/temp_dir.h"

namespace {

using mailtest::Dovecot;

constexpr const char* kUser = "alice";
constexpr const char* kPassword = "Pop-Test-3xK";

std::string Message(const std::string& id, const std::string& body) {
  std::string m = "From: a@test.local\r\nTo: alice@test.local\r\nSubject: test\r\n";
  if (!id.empty()) m += "Message-ID: " + id + "\r\n";
  return m + "\r\n" + body;
}

std::vector<std::string> Files(const std::string& dir) {
  std::vector<std::string> names = platform::ListFiles(dir);
  std::sort(names.begin(), names.end());
  return names;
}

int32_t Fetch(const Dovecot& pop, const std::string& dir, int deleteAfter,
              const std::string& password = kPassword, int logLevel = 0,
              const std::string& log = "") {
  return POP3_RetrieveAllWithPort("127.0.0.1", kUser, password.c_str(), dir.c_str(), ".eml",
                                  deleteAfter, logLevel, log.c_str(), pop.port(), 5000);
}

class InboxPullTest : public testing::Test {
 protected:
  void SetUp() override {
    if (!pop_.ok()) GTEST_SKIP() << pop_.skipReason();
  }
  Dovecot pop_{{{kUser, kPassword}}};
  testsupport::TempDir dir_;
};

TEST_F(InboxPullTest, StoresEveryMessageAndDeletesItWhenAsked) {
  pop_.Deliver(kUser,
               Message("<abc.123@host>", "first line\r\n.a line that starts with a dot\r\n"));
  pop_.Deliver(kUser, Message("", "no Message-ID here\r\n"));
  const std::string target = dir_ / "box";

  EXPECT_EQ(Fetch(pop_, target, 1), 2);
  const std::vector<std::string> names = Files(target);
  ASSERT_EQ(names.size(), 2u);
  EXPECT_EQ(std::count(names.begin(), names.end(), "abc123host.eml"), 1);
  // The file holds the message as sent, un-stuffed, without the end marker.
  EXPECT_EQ(testsupport::ReadFile(target + "/abc123host.eml"),
            Message("<abc.123@host>", "first line\r\n.a line that starts with a dot\r\n"));
  // The other one has a generated ID that ends in the server's name, cleaned.
  const std::string& generated = names[0] == "abc123host.eml" ? names[1] : names[0];
  EXPECT_NE(generated.find("127001.eml"), std::string::npos) << generated;
  EXPECT_EQ(pop_.MessageCount(kUser), 0);
  EXPECT_FALSE(platform::PathExists(target + "/alice@127.0.0.1.uid"));

  EXPECT_EQ(Fetch(pop_, target, 1), 0) << "the mailbox is empty now";
  EXPECT_EQ(Files(target).size(), 2u);
}

TEST_F(InboxPullTest, SameMessageIdGetsTheNextSuffix) {
  pop_.Deliver(kUser, Message("<twice@h>", "one\r\n"));
  pop_.Deliver(kUser, Message("<twice@h>", "two\r\n"));
  ASSERT_EQ(Fetch(pop_, dir_.path(), 1), 2);
  EXPECT_EQ(Files(dir_.path()), (std::vector<std::string>{"twiceh.eml", "twiceh_002.eml"}));
}

TEST_F(InboxPullTest, KnownMessagesAreNotFetchedAgain) {
  pop_.Deliver(kUser, Message("<m1@h>", "1\r\n"));
  pop_.Deliver(kUser, Message("<m2@h>", "2\r\n"));
  ASSERT_EQ(Fetch(pop_, dir_.path(), 0), 2);
  const std::string list = testsupport::ReadFile(dir_ / "alice@127.0.0.1.uid");
  EXPECT_EQ(std::count(list.begin(), list.end(), '\n'), 2) << list;
  EXPECT_EQ(Fetch(pop_, dir_.path(), 0), 0);
  pop_.Deliver(kUser, Message("<m3@h>", "3\r\n"));
  EXPECT_EQ(Fetch(pop_, dir_.path(), 0), 1);
  EXPECT_EQ(Files(dir_.path()),
            (std::vector<std::string>{"alice@127.0.0.1.uid", "m1h.eml", "m2h.eml", "m3h.eml"}));
  EXPECT_EQ(pop_.MessageCount(kUser), 3) << "nothing deleted without the flag";
}

TEST_F(InboxPullTest, WrongPasswordAndTheLog) {
  const std::string log = dir_ / "pop.log";
  EXPECT_EQ(Fetch(pop_, dir_ / "box", 1, "not-the-password", 2, log), -17);
  const std::string text = testsupport::ReadFile(log);
  EXPECT_NE(text.find("PASS [xxxxx]"), std::string::npos) << text;
  EXPECT_EQ(text.find("not-the-password"), std::string::npos) << text;
  EXPECT_NE(text.find("\tHost:127.0.0.1\tUser:alice\tUSER alice\r\n"), std::string::npos) << text;
  // Level 1 writes the failures only; level 0 nothing.
  const std::string quiet = dir_ / "quiet.log";
  EXPECT_EQ(Fetch(pop_, dir_ / "box", 1, "not-the-password", 1, quiet), -17);
  const std::string failures = testsupport::ReadFile(quiet);
  EXPECT_EQ(failures.find("USER alice"), std::string::npos) << failures;
  EXPECT_NE(failures.find("-ERR"), std::string::npos) << failures;
  EXPECT_EQ(Fetch(pop_, dir_ / "box", 1, "not-the-password", 0, dir_ / "none.log"), -17);
  EXPECT_FALSE(platform::PathExists(dir_ / "none.log"));
}

// A message over twice the size cap in the mailbox: the call still stores the others,
// deletes as asked and logs out, so the next call is not stuck on it.
TEST_F(InboxPullTest, AHugeMessageDoesNotStopTheMailbox) {
  std::string huge = Message("<huge@h>", "");
  const std::string line(998, 'h');
  while (huge.size() < (34u << 20)) huge += line + "\r\n";
  pop_.Deliver(kUser, huge);
  pop_.Deliver(kUser, Message("<after@h>", "after the huge one\r\n"));
  const std::string log = dir_ / "pop.log";
  EXPECT_EQ(Fetch(pop_, dir_ / "kept", 0, kPassword, 1, log), 1);
  EXPECT_EQ(Files(dir_ / "kept"), (std::vector<std::string>{"afterh.eml", "alice@127.0.0.1.uid"}));
  EXPECT_EQ(pop_.MessageCount(kUser), 2) << "nothing deleted without the flag";
  EXPECT_NE(testsupport::ReadFile(log).find("larger than 16777216 bytes, not stored"),
            std::string::npos);
  EXPECT_EQ(Fetch(pop_, dir_ / "box", 1), 1);
  EXPECT_EQ(Files(dir_ / "box"), std::vector<std::string>{"afterh.eml"});
  EXPECT_EQ(pop_.MessageCount(kUser), 0) << "with the flag the huge one is deleted too";
  EXPECT_EQ(Fetch(pop_, dir_ / "box", 1), 0) << "and the next call finds the mailbox empty";
}

TEST(InboxPullConnect, NoServerIsNoConnection) {
  testsupport::TempDir dir;
  const int port = mailtest::FreePort();
  const std::string log = dir / "pop.log";
  EXPECT_EQ(POP3_RetrieveAllWithPort("127.0.0.1", "u", "p", dir.path().c_str(), ".eml", 1, 1,
                                     log.c_str(), port, 2000),
            -1);
  const std::string text = testsupport::ReadFile(log);
  EXPECT_NE(text.find("Connecting to host 127.0.0.1 on port " + std::to_string(port) + "."),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("Winsock error code: 111"), std::string::npos) << text;
}

// A server that does not offer UIDL: every call fetches every message again, under new
// suffixes.
TEST(InboxPullScripted, WithoutUidlEveryCallFetchesAgain) {
  mailtest::ScriptedPop3 server([](int fd, const mailtest::ScriptedPop3& s) {
    if (!mailtest::GreetAndLogIn(fd, s)) return;
    for (std::string c; !(c = mailtest::ReadCommand(fd, s)).empty();) {
      if (c == "STAT") {
        mailtest::Send(fd, "+OK 1 40\r\n");
      } else if (c.rfind("UIDL", 0) == 0) {
        mailtest::Send(fd, "-ERR no UIDL here\r\n");
      } else if (c == "TOP 1 0") {
        mailtest::Send(fd, "+OK\r\nMessage-ID: <same@h>\r\n\r\n.\r\n");
      } else if (c == "RETR 1") {
        mailtest::Send(fd, "+OK\r\nMessage-ID: <same@h>\r\n\r\nbody\r\n..\r\n.\r\n");
      } else if (c == "QUIT") {
        mailtest::Send(fd, "+OK bye\r\n");
        return;
      } else {
        mailtest::Send(fd, "-ERR what\r\n");
      }
    }
  });
  testsupport::TempDir dir;
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(POP3_RetrieveAllWithPort("127.0.0.1", "u", "p", dir.path().c_str(), ".eml", 0, 0, "",
                                       server.port(), 5000),
              1);
  }
  EXPECT_EQ(Files(dir.path()), (std::vector<std::string>{"sameh.eml", "sameh_002.eml"}));
  EXPECT_EQ(testsupport::ReadFile(dir / "sameh.eml"), "Message-ID: <same@h>\r\n\r\nbody\r\n.\r\n");
}

}  // namespace
