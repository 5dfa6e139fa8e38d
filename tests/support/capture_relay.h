// A relay on 127.0.0.1 that joins each client to a port of 127.0.0.1 and records every byte
// the clients send on the way: what went over the wire in the clear.
#pragma once

#include <memory>
#include <string>

#include "support/scripted_server.h"

namespace testsupport {

class CaptureRelay {
 public:
  explicit CaptureRelay(int targetPort);
  CaptureRelay(const CaptureRelay&) = delete;
  CaptureRelay& operator=(const CaptureRelay&) = delete;

  int port() const { return core_->port(); }
  // Every byte the clients sent so far, in order.
  std::string sent() const { return core_->received(); }

 private:
  std::unique_ptr<ScriptedServer> core_;
};

}  // namespace testsupport
