// The shared library as the agents load it: every operation found by its exported name.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <sstream>

#include "loopback_servers.h"
#include "net_lab.h"
#include "support/temp_dir.h"

namespace {

using PingFn = int32_t (*)(const char*, int32_t, int32_t, int32_t, int32_t);
using PortFn = int32_t (*)(const char*, int32_t, int32_t);
using PageFn = int32_t (*)(const char*, int32_t, const char*, const char*, int32_t, int32_t*,
                           int32_t*, int32_t*, int32_t*, int32_t*);
using PageAllFn = int32_t (*)(const char*, int32_t, const char*, const char*, int32_t, int32_t*,
                              int32_t*, int32_t*, int32_t*, int32_t*, const char*, const char*,
                              const char*, const char*, int32_t, const char*, char*, int32_t,
                              const char*, char*, int32_t);
using PostFn = int32_t (*)(const char*, const char*, const char*, const char*, int32_t);
using SecurePageFn = int32_t (*)(const char*, int32_t, const char*, const char*, int32_t, int32_t,
                                 int32_t, const char*, char*, int32_t, int32_t*, int32_t*, int32_t*,
                                 int32_t*, int32_t*);
using SecurePageAllFn = int32_t (*)(const char*, int32_t, const char*, const char*, int32_t,
                                    int32_t, int32_t, const char*, char*, int32_t, int32_t*,
                                    int32_t*, int32_t*, int32_t*, int32_t*, const char*,
                                    const char*, const char*, const char*, int32_t, const char*,
                                    char*, int32_t, const char*, char*, int32_t);

class Library : public ::testing::Test {
 protected:
  void SetUp() override {
    handle_ = ::dlopen(VARN_LIB_DIR "/libHostCheck.so", RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle_, nullptr) << ::dlerror();
  }
  void TearDown() override {
    if (handle_) ::dlclose(handle_);
  }
  template <typename F>
  F Get(const char* name) {
    void* symbol = ::dlsym(handle_, name);
    EXPECT_NE(symbol, nullptr) << name;
    return reinterpret_cast<F>(symbol);
  }
  void* handle_ = nullptr;
};

hostchecktest::ScriptedServer::Handler Answer(std::string response) {
  return [response](int fd, const std::atomic<bool>&) {
    hostchecktest::ReadRequestHead(fd);
    hostchecktest::SendAll(fd, response);
  };
}

// The secure fetches by name: the error text lands in the caller's buffer, cut to its
// length and always terminated, and is emptied when nothing failed over TLS.
TEST_F(Library, SecurePageFetchesFillTheCallersText) {
  auto receive = Get<SecurePageFn>("ReceiveSecureWebPageAndCheck");
  auto receiveAll = Get<SecurePageAllFn>("ReceiveSecureWebPageAndCheckAll");
  ASSERT_TRUE(receive && receiveAll);
  hostchecktest::ScriptedServer garbage([](int fd, const std::atomic<bool>&) {
    char hello[512];
    (void)::recv(fd, hello, sizeof hello, 0);
    hostchecktest::SendAll(fd, "HTTP/1.1 400 Bad Request\r\n\r\n");
  });
  testsupport::TempDir dir;
  const std::string page = dir / "page.htm";
  struct Case {
    int32_t length;
    std::string text;
  };
  const Case cases[] = {{64, "TLS_HANDSHAKE Domain/IP: 127.0.0.1"}, {14, "TLS_HANDSHAKE"}, {1, ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    char text[80];
    std::memset(text, 'x', sizeof text);
    EXPECT_EQ(receive("127.0.0.1", garbage.port(), "/", page.c_str(), 2000, 1, 14, nullptr, text,
                      c.length, nullptr, nullptr, nullptr, nullptr, nullptr),
              -920);
    EXPECT_EQ(std::string(text), c.text);
    EXPECT_EQ(text[c.length], 'x') << "nothing written past the length";
  }
  char text[80] = "left from before";
  EXPECT_EQ(receive("127.0.0.1", hostchecktest::UnusedPort(), "/", page.c_str(), 2000, 1, 14, "",
                    text, sizeof text, nullptr, nullptr, nullptr, nullptr, nullptr),
            -902);
  EXPECT_STREQ(text, "") << "no TLS failure, no text";
  std::memset(text, 'x', sizeof text);
  EXPECT_EQ(
      receiveAll("127.0.0.1", garbage.port(), "/", page.c_str(), 2000, 0, 0, nullptr, text,
                 sizeof text, nullptr, nullptr, nullptr, nullptr, nullptr, (dir / "Log").c_str(),
                 "6162", "Failed: ", "OK ", 1, "", nullptr, 0, "", nullptr, 0),
      -920);
  EXPECT_STREQ(text, "TLS_HANDSHAKE Domain/IP: 127.0.0.1");
}

TEST_F(Library, PortChecksAndPageFetchesByName) {
  auto isMailPortOpen = Get<PortFn>("IsMailPortOpen");
  auto isWebPortOpen = Get<PortFn>("IsWebPortOpen");
  auto receive = Get<PageFn>("ReceiveWebPageAndCheck");
  auto receiveAll = Get<PageAllFn>("ReceiveWebPageAndCheckAll");
  ASSERT_TRUE(isMailPortOpen && isWebPortOpen && receive && receiveAll);

  hostchecktest::ScriptedServer server(
      Answer("HTTP/1.1 404 Not Found\r\nContent-Length: 22\r\n\r\n<a href=\"x.htm\">x</a>\r\n"));
  EXPECT_EQ(isWebPortOpen("127.0.0.1", server.port(), 2000), 1);
  EXPECT_EQ(isMailPortOpen("127.0.0.1", hostchecktest::UnusedPort(), 2000), -902);

  testsupport::TempDir dir;
  std::string page = dir / "page.htm";
  int32_t w[5] = {9, 9, 9, 9, 9};
  EXPECT_EQ(receive("127.0.0.1", server.port(), "/a.htm", page.c_str(), 2000, &w[0], &w[1], &w[2],
                    &w[3], &w[4]),
            404);
  EXPECT_EQ(w[0], 2);
  EXPECT_EQ(w[4], 0);
  EXPECT_EQ(testsupport::ReadFile(page + ".err"),
            "\"404 Not Found\" Domain/IP: \"127.0.0.1\" Page: \"/a.htm\"");

  char state[20] = {7};
  char status[84] = {};
  std::string logDir = dir / "Log";
  EXPECT_EQ(receiveAll("127.0.0.1", server.port(), "/a.htm", page.c_str(), 2000, &w[0], &w[1],
                       &w[2], &w[3], &w[4], logDir.c_str(), "57656220", "failed: ", "ok: ", 1,
                       (dir / "state.dat").c_str(), state, 20, "", status, 84),
            404);
  EXPECT_EQ(testsupport::ReadFile(dir / "state.dat"), std::string(state, 20));
  EXPECT_EQ(receive("", 80, "/", page.c_str(), 1000, &w[0], &w[1], &w[2], &w[3], &w[4]), -1);
}

// Ping and the post to port 80 run in a namespace of the test's own, where loopback is ours.
TEST_F(Library, PingAndPostByName) {
  auto ping = Get<PingFn>("Ping");
  auto post = Get<PostFn>("SendMessageToWeb");
  ASSERT_TRUE(ping && post);
  testsupport::TempDir dir;
  std::string answer = dir / "answer.txt";
  std::string log = dir / "post.log";
  hostchecktest::LabRun run = hostchecktest::RunInNetLab({}, [&](hostchecktest::LabContext&) {
    testsupport::ServerOptions port80;
    port80.port = 80;
    port80.backlog = 4;
    port80.maxConnections = 1;
    testsupport::ScriptedServer server(
        [](testsupport::Connection& c) {
          c.ReadUntil({"\r\n\r\n"}, 1 << 20, 5000);
          c.Send("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nthank");
        },
        port80);
    if (!server.ok()) return std::string("cannot listen on port 80");
    std::ostringstream out;
    out << ping("127.0.0.1", 2000, 32, 2, 10) << ' '
        << post("127.0.0.1", "/note?m=up", answer.c_str(), log.c_str(), 0);
    server.Stop();
    return out.str();
  });
  if (!run.skipReason.empty()) GTEST_SKIP() << run.skipReason;
  std::istringstream in(run.output);
  int32_t pingResult = -1, postResult = -1;
  in >> pingResult >> postResult;
  EXPECT_GE(pingResult, 0) << run.output;
  EXPECT_EQ(postResult, 0) << run.output;
  EXPECT_EQ(testsupport::ReadFile(answer), "thank");
  EXPECT_EQ(testsupport::ReadFile(log), "") << "level 0 writes nothing";
}

}  // namespace
