// Alert mail throughput: 200 alert mails with a 20 KB Japanese body composed and sent
// through VarnPost to the local test SMTP server. Reports the median time per mail (the
// whole VarnPost run: start, job file, composition, SMTP dialogue, log), the median time
// of composing one message, and composing's share; as a baseline in the same run, the
// median SMTP dialogue alone (in process, no program start).
#include <algorithm>
#include <cstdio>
#include <vector>

#include "bench/bench_timing.h"
#include "mail/compose.h"
#include "mail/event_loop.h"
#include "mail/job_file.h"
#include "mail/smtp.h"
#include "mail_test_support.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "support/temp_dir.h"

namespace {

using bench::Clock;
using bench::Median;
using bench::Ms;

constexpr int kMails = 200;
constexpr size_t kBodyBytes = 20 * 1024;

class Owner : public mail::CWinsockEventCallback {
 public:
  int result = -1;
  void OnEvent(unsigned message, uintptr_t, intptr_t lParam) override {
    if (message != mail::kMsgUser) return;
    result = static_cast<int>(lParam);
    mail::EventLoop::Instance().Quit();
  }
};

}  // namespace

int main() {
  testsupport::TempDir site;
  testsupport::TempDir store;
  mailtest::PySmtpServer server(store.path());
  if (!server.ok()) {
    std::fprintf(stderr, "the test SMTP server did not start\n");
    return 1;
  }
  // A Japanese alert body of 20 KB in lines of about 70 characters.
  const std::string line = *platform::Utf8ToCp932(
      "サーバ web1 (10.0.0.1) の応答が停止しました。 Ping DOWN TIMEOUT 確認してください\r\n");
  mail::MailJob job;
  job.smtpHost = "127.0.0.1";
  job.smtpPort = server.port();
  job.to = "ops@x.test,boss@x.test";
  job.from = "KT.Varnock <alert@x.test>";
  job.subject = *platform::Utf8ToCp932("web1 停止 (Ping)");
  while (job.body.size() < kBodyBytes) job.body += line;
  job.logDestination = mail::LogDestinationText(site / "RelayKitLog", 2, "KT.Varnock");

  // Composing alone.
  std::vector<double> compose;
  mail::MailJob plain = job;
  plain.body.erase(std::remove(plain.body.begin(), plain.body.end(), '\r'), plain.body.end());
  for (int i = 0; i < kMails; ++i) {
    mail::ComposedMail out;
    const auto t0 = Clock::now();
    mail::ComposeMessage(plain, "KT.Varnock", site / "tmp", &out);
    compose.push_back(Ms(Clock::now() - t0));
    platform::RemoveFile(out.path);
  }

  // The SMTP dialogue alone, in process.
  std::vector<double> dialogue;
  mail::ComposedMail composed;
  mail::ComposeMessage(plain, "KT.Varnock", site / "tmp", &composed);
  for (int i = 0; i < kMails / 4; ++i) {
    Owner owner;
    mail::CSMTP smtp(&owner, mail::kMsgUser, "", "");
    const auto t0 = Clock::now();
    smtp.Start("127.0.0.1", static_cast<uint16_t>(server.port()), composed.path, composed.sender,
               composed.recipients);
    mail::EventLoop::Instance().Run();
    dialogue.push_back(Ms(Clock::now() - t0));
    if (owner.result != 1) std::fprintf(stderr, "dialogue %d ended with %d\n", i, owner.result);
  }

  // Whole mails through VarnPost.
  std::vector<double> perMail;
  const std::map<std::string, std::string> env = {{"VARNPOST_ETC_DIR", site / "etc"},
                                                  {"TMPDIR", site / "tmp"}};
  for (int i = 0; i < kMails; ++i) {
    const std::string path = site / ("CON" + std::to_string(i) + ".tmp");
    mail::WriteMailJob(path, job);
    const auto t0 = Clock::now();
    const auto run =
        mailtest::RunProgram(std::string(VARN_BIN_DIR) + "/VarnPost", {path}, "", env, 60000);
    perMail.push_back(Ms(Clock::now() - t0));
    if (run.exitCode != 0) std::fprintf(stderr, "mail %d: exit %d\n", i, run.exitCode);
  }
  server.Message(kMails + kMails / 4, 30000);

  const double mailMs = Median(perMail), composeMs = Median(compose), dialogueMs = Median(dialogue);
  std::printf("alert mails: %d, body %zu bytes (Shift-JIS, sent as ISO-2022-JP)\n", kMails,
              job.body.size());
  std::printf("median per mail through VarnPost:  %8.3f ms\n", mailMs);
  std::printf("median composing one message:      %8.3f ms\n", composeMs);
  std::printf("median SMTP dialogue (in process): %8.3f ms\n", dialogueMs);
  std::printf("composing's share of a mail:       %8.2f %%\n", 100.0 * composeMs / mailMs);
  std::printf("dialogue's share of a mail:        %8.2f %%\n", 100.0 * dialogueMs / mailMs);
  return 0;
}
