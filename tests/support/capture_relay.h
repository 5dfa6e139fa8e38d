// A relay on 127.0.0.1 that joins each client to a port of 127.0.0.1 and records every byte
// the clients send on the way: what went over the wire in the clear.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class CaptureRelay {
 public:
  explicit CaptureRelay(int targetPort);
  ~CaptureRelay();
  CaptureRelay(const CaptureRelay&) = delete;
  CaptureRelay& operator=(const CaptureRelay&) = delete;

  int port() const { return port_; }
  // Every byte the clients sent so far, in order.
  std::string sent() const;

 private:
  void Join(int client);

  int targetPort_;
  int fd_ = -1;
  int port_ = 0;
  mutable std::mutex mutex_;
  std::string sent_;
  std::atomic<bool> stop_{false};
  std::thread acceptor_;
  std::vector<std::thread> joins_;
};

}  // namespace testsupport
