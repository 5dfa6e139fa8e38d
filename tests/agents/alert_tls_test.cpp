// An agent's Down alert through a mail server set up with a port and TLS in Varnock.ini:
// the server is tested on its own port, and the job file carries that port and the TLS
// block after the described texts; a server without those keys gets the described job.
#include <gtest/gtest.h>

#include <memory>

#include "common/account_key.h"
#include "common/file_ops.h"
#include "common/layout.h"
#include "log_lines.h"
#include "platform/files.h"
#include "platform/ini.h"
#include "testkit.h"

namespace {

using common::StatusFolder;
using testkit::ProgramDir;
using testkit::WordAt;

void WriteAlertSettings(const ProgramDir& pd, const std::string& server) {
  common::AlertFile alert;
  common::SetField(alert.settings.primaryServer, server);
  common::SetField(alert.settings.fromAddress, "monitor@x.example");
  alert.toAddresses = "ops@x.example\r\n";
  common::WriteAlert(pd.dir(), alert);
  common::AlertAuth auth{};
  auth.primaryAuth = 1;
  common::SetField(auth.primaryUser, "alice");
  common::SetField(auth.primaryPassword, "s3cret");
  common::WriteAlertAuth(pd.dir(), auth);
}

// The end of the described texts: the last text's offset plus its length.
size_t TextsEnd(const std::string& job) {
  size_t end = 96;
  for (size_t slot = 8; slot < 96; slot += 8) {
    if (slot == 16) continue;  // the SMTP port
    const size_t at = slot == 24 ? 20 : slot;
    end = std::max<size_t>(end, size_t{WordAt(job, at)} + WordAt(job, at + 4));
  }
  return end;
}

TEST(AlertMailOverTls, JobCarriesThePortAndTheTlsBlock) {
  struct Case {
    const char* name;
    const char* address;
    int port;
    bool greets;  // a STARTTLS relay greets in the clear; a TLS one waits for the handshake
    std::string ini;
    std::string block;  // after the texts
  } cases[] = {
      {"STARTTLS relay on its own port", "127.0.78.41", 2587, true,
       "MAILSECURITY=starttls\nMAILPORT=2587\nTLSCAFILE=/etc/varnock/ca.pem\n",
       std::string("VarnPostTLS1\nMODE=starttls\nVERIFY=1\nCAFILE=/etc/varnock/ca.pem\n") + '\0'},
      {"TLS relay, certificates not checked", "127.0.78.42", 2465, false,
       "MAILSECURITY=tls\nMAILPORT=2465\nMAILVERIFY=0\n",
       std::string("VarnPostTLS1\nMODE=implicit\nVERIFY=0\nCAFILE=\n") + '\0'},
      {"plain relay on another port: no block", "127.0.78.43", 2525, true, "MAILPORT=2525\n", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ProgramDir pd;
    testkit::LineServer relay(c.greets ? "220 ready\r\n" : "", !c.greets, c.address, c.port);
    if (!relay.ok()) GTEST_SKIP() << "cannot listen on " << c.address << ":" << c.port;
    WriteAlertSettings(pd, c.address);
    for (size_t at = 0; at < c.ini.size();) {
      const size_t eq = c.ini.find('=', at), eol = c.ini.find('\n', at);
      platform::IniSetString(common::IniPath(pd.dir()), "PROGRAM", c.ini.substr(at, eq - at),
                             c.ini.substr(eq + 1, eol - eq - 1));
      at = eol + 1;
    }
    testkit::SetLogging(pd, common::kGroupHttp, true, true);
    common::AccountFile account = testkit::ServerAccount("web1", "127.0.0.1");
    account.record.mailToGlobal = 1;
    account.record.httpPortOn = 1;
    account.record.httpTimeout = 2;
    account.record.httpPort = static_cast<uint32_t>(testkit::ClosedPort());
    account.downSubject = "%S down";
    account.downBody = "%S is down";
    testkit::AddAccount(pd, account, StatusFolder::kHttpPort);
    ASSERT_EQ(pd.RunAgent("WebPortSentry"), 0);
    ASSERT_EQ(pd.RunAgent("WebPortSentry"), 0);
    const std::vector<ProgramDir::Call> mails = pd.WaitForCalls("VarnPost", 1);
    ASSERT_EQ(mails.size(), 1u);
    const std::string& job = mails[0].file;
    EXPECT_EQ(WordAt(job, 16), static_cast<uint32_t>(c.port));
    EXPECT_EQ(mails[0].stdinData, "alice\ns3cret\n");
    const size_t end = TextsEnd(job);
    ASSERT_LE(end, job.size());
    EXPECT_EQ(job.substr(end), c.block);
  }
}

}  // namespace
