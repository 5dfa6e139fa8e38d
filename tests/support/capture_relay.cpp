#include "support/capture_relay.h"

#include <poll.h>
#include <unistd.h>

namespace testsupport {
namespace {

// Joins the client to the target until either side closes or the relay stops. What the
// client sends is read through the connection, so the server records it.
void Join(Connection& client, int targetPort) {
  const int target = ConnectLoopback(targetPort);
  if (target < 0) return;
  pollfd p[2] = {{client.fd(), POLLIN, 0}, {target, POLLIN, 0}};
  while (!client.stopping()) {
    const int n = ::poll(p, 2, 100);
    if (n < 0) break;
    if (n == 0) continue;
    if (p[0].revents != 0) {
      const std::string got = client.ReadSome(4096, 0);
      if (got.empty() || !SendAll(target, got)) break;
    }
    if (p[1].revents != 0) {
      const std::string got = Connection(target, nullptr).ReadSome(4096, 0);
      if (got.empty() || !client.Send(got)) break;
    }
  }
  ::close(target);
}

}  // namespace

CaptureRelay::CaptureRelay(int targetPort) {
  core_ = std::make_unique<ScriptedServer>(
      [targetPort](Connection& client) { Join(client, targetPort); });
}

}  // namespace testsupport
