// A one-connection peer on 127.0.0.1 for the fuzz targets that read from a socket: it
// accepts the next connection, optionally reads the client's request head, sends the fuzzed
// bytes, closes its sending side and drains the client until it closes. Every wait is
// bounded, so a target whose client misbehaves ends all the same.
#pragma once

#include <cstddef>
#include <cstdint>
#include <thread>

namespace fuzzpeer {

class LoopbackPeer {
 public:
  // Listens on 127.0.0.1 with a port chosen by the system; aborts when it cannot.
  LoopbackPeer();
  ~LoopbackPeer();
  int port() const { return port_; }

  // Serves `data` (which must outlive Join) to the next connection on a thread of its own.
  // With `awaitHead` the peer first reads until an empty line (at most 8 KB).
  void Serve(const uint8_t* data, size_t size, bool awaitHead);
  void Join();

 private:
  int listenFd_ = -1;
  int port_ = 0;
  std::thread thread_;
};

}  // namespace fuzzpeer
