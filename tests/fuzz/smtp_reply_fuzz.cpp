// The SMTP reply reader and the dialogue it drives: a peer on 127.0.0.1 sends the fuzzed
// bytes as every reply of one send attempt (greeting, EHLO, AUTH, envelope, data, quit),
// then closes. The dialogue must end exactly once, with success or failure.
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "fuzz_temp.h"
#include "loopback_peer.h"
#include "mail/event_loop.h"
#include "mail/smtp.h"
#include "platform/files.h"

namespace {

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

struct Fixture {
  fuzzpeer::LoopbackPeer peer;
  std::string messageFile;
  Fixture() {
    messageFile = fuzzpeer::FuzzTempDir("smtp") + "/message.txt";
    FUZZ_CHECK(platform::WriteFileAtomic(messageFile, "Subject: fuzz\r\n\r\nline one\r\n.dotted\r\n"));
  }
};

Fixture& TheFixture() {
  static Fixture* fixture = new Fixture;
  return *fixture;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Fixture& f = TheFixture();
  // Logging in is tried only when the server offers it; give it the chance when the
  // replies mention it.
  const bool login = ::memmem(data, size, "AUTH", 4) != nullptr;
  f.peer.Serve(data, size, false);
  Owner owner;
  {
    mail::CSMTP smtp(&owner, mail::kMsgUser, login ? "user" : "", login ? "secret" : "");
    smtp.SetBoundMs(3000);
    smtp.SetTrace([](const std::string& line) { FUZZ_CHECK(line.size() < 8192); });
    const std::vector<std::string> recipients = {"one@y.test", "two@y.test"};
    FUZZ_CHECK(smtp.Start("127.0.0.1", static_cast<uint16_t>(f.peer.port()), f.messageFile,
                          "sender@x.test", recipients));
    mail::EventLoop::Instance().Run();
  }
  f.peer.Join();
  FUZZ_CHECK(owner.completions == 1);
  FUZZ_CHECK(owner.result == mail::kResultSuccess || owner.result == mail::kResultFailure);
  return 0;
}
