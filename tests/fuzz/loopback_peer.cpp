#include "loopback_peer.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "support/scripted_server.h"

namespace fuzzpeer {
namespace {

constexpr int kWaitMs = 5000;

}  // namespace

LoopbackPeer::LoopbackPeer() {
  listenFd_ = testsupport::ListenLoopback(&port_);
  if (listenFd_ < 0) {
    std::perror("loopback peer");
    std::abort();
  }
}

LoopbackPeer::~LoopbackPeer() {
  Join();
  if (listenFd_ >= 0) ::close(listenFd_);
}

void LoopbackPeer::Serve(const uint8_t* data, size_t size, bool awaitHead) {
  Join();
  thread_ = std::thread([this, data, size, awaitHead] {
    if (!testsupport::WaitReadable(listenFd_, kWaitMs)) return;
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    testsupport::Connection peer(fd, nullptr);
    if (awaitHead) peer.ReadUntil({"\r\n\r\n", "\n\n"}, 8192, kWaitMs);
    // The client may give up early.
    peer.Send(std::string_view(reinterpret_cast<const char*>(data), size), kWaitMs);
    ::shutdown(fd, SHUT_WR);
    peer.StaySilent(kWaitMs);
    ::close(fd);
  });
}

void LoopbackPeer::Join() {
  if (thread_.joinable()) thread_.join();
}

}  // namespace fuzzpeer
