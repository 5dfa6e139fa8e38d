// The transfer library against a real vsftpd on loopback: what arrives on the server, what
// comes back, and which result each kind of failure gives.
#include "FileFerry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ftp_servers.h"
#include "platform/files.h"
#include "support/temp_dir.h"

namespace {

using ftptest::kPassword;
using ftptest::kUser;
using testsupport::ReadFile;
using testsupport::WriteFile;

// An error text buffer that shows whether the library wrote into it.
struct ErrorBuffer {
  char text[1024];
  ErrorBuffer() {
    std::memset(text, 'Z', sizeof text);
    text[sizeof text - 1] = '\0';
  }
  bool untouched() const { return text[0] == 'Z' && std::strlen(text) == sizeof text - 1; }
};

// Every byte value, line ends included: a text-mode transfer would change it.
std::string BinaryContent() {
  std::string s;
  for (int round = 0; round < 40; ++round) {
    for (int b = 0; b < 256; ++b) s += static_cast<char>(b);
    s += "\r\n\n\r";
  }
  return s;
}

class FileFerryTest : public testing::Test {
 protected:
  void SetUp() override {
    if (!server_.ok()) GTEST_SKIP() << server_.skipReason();
  }
  std::string Local(const std::string& name) const { return local_ / name; }
  std::string OnServer(const std::string& name) const { return server_.root() + "/" + name; }

  ftptest::Vsftpd server_;
  testsupport::TempDir local_;
};

TEST_F(FileFerryTest, RoundTripKeepsEveryByte) {
  const std::string content = BinaryContent();
  WriteFile(Local("source.bin"), content);
  const std::string host = server_.server();
  ErrorBuffer error;

  ASSERT_EQ(SendFileToHost(host.c_str(), kUser, kPassword, Local("source.bin").c_str(),
                           "FTP_test.text", 5000, error.text),
            1)
      << server_.Log();
  EXPECT_EQ(ReadFile(OnServer("FTP_test.text")), content);
  struct stat st {};
  ASSERT_EQ(::stat(OnServer("FTP_test.text").c_str(), &st), 0);
  EXPECT_NE(st.st_uid, 0u) << "written by the signed-in user, not by root";

  ASSERT_EQ(ReceiveFileFromHost(host.c_str(), kUser, kPassword, "FTP_test.text",
                                Local("back.bin").c_str(), 5000, error.text),
            1);
  EXPECT_EQ(ReadFile(Local("back.bin")), content);

  ASSERT_EQ(DeleteFileFromHost(host.c_str(), kUser, kPassword, "FTP_test.text", 5000, error.text),
            1);
  EXPECT_FALSE(platform::PathExists(OnServer("FTP_test.text")));
  EXPECT_TRUE(error.untouched()) << error.text;

  // The short forms, and an empty file.
  WriteFile(Local("empty"), "");
  EXPECT_EQ(PutFileToRemoteHost(host.c_str(), kUser, kPassword, Local("empty").c_str(), "e.txt"),
            1);
  EXPECT_TRUE(platform::IsRegularFile(OnServer("e.txt")));
  EXPECT_EQ(GetFileFromRemoteHost(host.c_str(), kUser, kPassword, "e.txt", Local("e2").c_str()), 1);
  EXPECT_TRUE(platform::IsRegularFile(Local("e2")));
}

TEST_F(FileFerryTest, PathsGoToTheServerAsWritten) {
  WriteFile(Local("a"), "absolute");
  const std::string host = server_.server();
  ErrorBuffer error;
  ::mkdir(OnServer("sub dir").c_str(), 0777);
  ::chmod(OnServer("sub dir").c_str(), 0777);
  struct Case {
    std::string remote;  // as passed
    std::string stored;  // where it lands under the root
  } cases[] = {
      {"sub dir/100% #1?.txt", "sub dir/100% #1?.txt"},
      {server_.root() + "/abs.txt", "abs.txt"},  // a leading "/" is kept
      {"sub dir/../up.txt", "up.txt"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SendFileToHost(host.c_str(), kUser, kPassword, Local("a").c_str(), c.remote.c_str(),
                             5000, error.text),
              1)
        << c.remote;
    EXPECT_EQ(ReadFile(OnServer(c.stored)), "absolute") << c.remote;
    EXPECT_EQ(
        DeleteFileFromHost(host.c_str(), kUser, kPassword, c.remote.c_str(), 5000, error.text), 1)
        << c.remote;
    EXPECT_FALSE(platform::PathExists(OnServer(c.stored))) << c.remote;
  }
}

TEST_F(FileFerryTest, WrongPasswordFailsBeforeAnyTransfer) {
  WriteFile(Local("source"), "data");
  WriteFile(OnServer("there.txt"), "keep");
  const std::string host = server_.server();
  const char* wrong = "not-the-password";

  ErrorBuffer up, down, del;
  EXPECT_EQ(
      SendFileToHost(host.c_str(), kUser, wrong, Local("source").c_str(), "new.txt", 5000, up.text),
      -912);
  EXPECT_EQ(ReceiveFileFromHost(host.c_str(), kUser, wrong, "there.txt", Local("got").c_str(), 5000,
                                down.text),
            -912);
  EXPECT_EQ(DeleteFileFromHost(host.c_str(), kUser, wrong, "there.txt", 5000, del.text), -912);
  for (const ErrorBuffer* e : {&up, &down, &del}) {
    EXPECT_FALSE(e->untouched());
    EXPECT_GT(std::strlen(e->text), 0u);
    EXPECT_EQ(std::string(e->text).find(wrong), std::string::npos) << e->text;
  }
  EXPECT_FALSE(platform::PathExists(OnServer("new.txt")));
  EXPECT_FALSE(platform::PathExists(Local("got"))) << "a failed download leaves no file";
  EXPECT_EQ(ReadFile(OnServer("there.txt")), "keep");
  EXPECT_EQ(PutFileToRemoteHost(host.c_str(), kUser, wrong, Local("source").c_str(), "new.txt"), 0);
  EXPECT_EQ(GetFileFromRemoteHost(host.c_str(), kUser, wrong, "there.txt", Local("got").c_str()),
            0);
}

// Refusals after a good sign-in: -902 with the error text untouched.
TEST_F(FileFerryTest, RefusedOperationsGive902) {
  WriteFile(Local("source"), "data");
  WriteFile(Local("existing"), "mine");
  WriteFile(OnServer("ro/fixed.txt"), "fixed");
  const std::string host = server_.server();
  ErrorBuffer error;
  struct Case {
    const char* what;
    int32_t result;
  } cases[] = {
      {"upload into a read-only folder",
       SendFileToHost(host.c_str(), kUser, kPassword, Local("source").c_str(), "ro/x.txt", 5000,
                      error.text)},
      {"upload into a missing folder",
       SendFileToHost(host.c_str(), kUser, kPassword, Local("source").c_str(), "missing/x.txt",
                      5000, error.text)},
      {"upload of a missing local file",
       SendFileToHost(host.c_str(), kUser, kPassword, Local("nothing").c_str(), "x.txt", 5000,
                      error.text)},
      {"upload of a folder", SendFileToHost(host.c_str(), kUser, kPassword, local_.path().c_str(),
                                            "x.txt", 5000, error.text)},
      {"download of a file that is gone",
       ReceiveFileFromHost(host.c_str(), kUser, kPassword, "gone.txt", Local("gone").c_str(), 5000,
                           error.text)},
      {"download onto an existing local file",
       ReceiveFileFromHost(host.c_str(), kUser, kPassword, "ro", Local("existing").c_str(), 5000,
                           error.text)},
      {"delete of a file that is gone",
       DeleteFileFromHost(host.c_str(), kUser, kPassword, "gone.txt", 5000, error.text)},
      {"delete in a read-only folder",
       DeleteFileFromHost(host.c_str(), kUser, kPassword, "ro/fixed.txt", 5000, error.text)},
      {"delete of a folder",
       DeleteFileFromHost(host.c_str(), kUser, kPassword, "ro", 5000, error.text)},
  };
  for (const Case& c : cases) EXPECT_EQ(c.result, -902) << c.what;
  EXPECT_TRUE(error.untouched()) << error.text;
  EXPECT_FALSE(platform::PathExists(Local("gone")));
  EXPECT_EQ(ReadFile(Local("existing")), "mine");
  EXPECT_FALSE(platform::PathExists(OnServer("ro/x.txt")));
  EXPECT_FALSE(platform::PathExists(OnServer("x.txt")));
  EXPECT_EQ(ReadFile(OnServer("ro/fixed.txt")), "fixed");
}

// The sign-in comes first: with a wrong password a local problem still reads as -912.
TEST_F(FileFerryTest, SignInIsJudgedBeforeLocalFiles) {
  WriteFile(Local("existing"), "mine");
  ErrorBuffer error;
  const std::string host = server_.server();
  EXPECT_EQ(ReceiveFileFromHost(host.c_str(), kUser, "wrong", "x", Local("existing").c_str(), 5000,
                                error.text),
            -912);
  EXPECT_EQ(
      SendFileToHost(host.c_str(), kUser, "wrong", Local("nothing").c_str(), "x", 5000, error.text),
      -912);
  EXPECT_EQ(ReadFile(Local("existing")), "mine");
}

// Texts with line breaks never reach the server as commands of their own.
TEST_F(FileFerryTest, LineBreaksCannotSmuggleCommands) {
  // The signed-in user may delete it: only a smuggled command would.
  WriteFile(OnServer("victim.txt"), "keep");
  WriteFile(Local("source"), "data");
  const std::string host = server_.server();
  ErrorBuffer error;
  EXPECT_EQ(DeleteFileFromHost(host.c_str(), kUser, kPassword, "nothing\r\nDELE victim.txt", 5000,
                               error.text),
            -902);
  EXPECT_EQ(SendFileToHost(host.c_str(), kUser, kPassword, Local("source").c_str(),
                           "x\r\nDELE victim.txt", 5000, error.text),
            -902);
  const std::string smuggler = std::string(kPassword) + "\r\nDELE victim.txt";
  EXPECT_EQ(DeleteFileFromHost(host.c_str(), kUser, smuggler.c_str(), "nothing", 5000, error.text),
            -912);
  EXPECT_EQ(ReadFile(OnServer("victim.txt")), "keep");
}

TEST_F(FileFerryTest, PassiveModeOnRequest) {
  WriteFile(Local("source"), "passive data");
  const std::string host = server_.server();
  ErrorBuffer error;
  ::setenv("VARN_FTP_PASSIVE", "1", 1);
  const int32_t up = SendFileToHost(host.c_str(), kUser, kPassword, Local("source").c_str(),
                                    "p.txt", 5000, error.text);
  const int32_t down = ReceiveFileFromHost(host.c_str(), kUser, kPassword, "p.txt",
                                           Local("back").c_str(), 5000, error.text);
  ::unsetenv("VARN_FTP_PASSIVE");
  EXPECT_EQ(up, 1) << error.text;
  EXPECT_EQ(down, 1) << error.text;
  EXPECT_EQ(ReadFile(Local("back")), "passive data");
}

TEST(FileFerry, NoServerIsAFailedConnection) {
  testsupport::TempDir local;
  WriteFile(local / "source", "data");
  const std::string closed = "127.0.0.1:" + std::to_string(ftptest::ClosedPort());
  for (const std::string& host : {closed, std::string("bad host!"), std::string("127.0.0.1:0"),
                                  std::string("127.0.0.1:70000"), std::string("")}) {
    ErrorBuffer up, down, del;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SendFileToHost(host.c_str(), kUser, kPassword, (local / "source").c_str(), "x", 5000,
                             up.text),
              -912)
        << host;
    EXPECT_EQ(ReceiveFileFromHost(host.c_str(), kUser, kPassword, "x", (local / "got").c_str(),
                                  5000, down.text),
              -912)
        << host;
    EXPECT_EQ(DeleteFileFromHost(host.c_str(), kUser, kPassword, "x", 5000, del.text), -912)
        << host;
    EXPECT_EQ(PutFileToRemoteHost(host.c_str(), kUser, kPassword, (local / "source").c_str(), "x"),
              0)
        << host;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << host;
    for (const ErrorBuffer* e : {&up, &down, &del}) EXPECT_FALSE(e->untouched()) << host;
    EXPECT_FALSE(platform::PathExists(local / "got"));
  }
  // Null texts are empty texts, and a null error buffer is left alone.
  EXPECT_EQ(DeleteFileFromHost(nullptr, nullptr, nullptr, nullptr, 1000, nullptr), -912);
}

}  // namespace
