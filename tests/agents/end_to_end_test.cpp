// A Down alert of a real agent handed to the real alert mail sender, which signs in to an
// SMTP server on loopback with the login it received on its standard input.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "common/account_key.h"
#include "common/file_ops.h"
#include "platform/files.h"
#include "testkit.h"

namespace {

// Stores each message as <dir>/N.eml and its envelope (sender, recipients, login) as
// <dir>/N.env; AUTH LOGIN accepts only the given user and password.
constexpr const char* kSmtpServer = R"(
import asyncio, os, sys
from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword
host, folder, user, password = sys.argv[1:5]
class Server(SMTP):
    AuthLoginUsernameChallenge = 'Username:'
    AuthLoginPasswordChallenge = 'Password:'
class Store:
    count = 0
    async def handle_DATA(self, server, session, envelope):
        Store.count += 1
        base = os.path.join(folder, str(Store.count))
        with open(base + '.eml', 'wb') as f:
            f.write(envelope.original_content or envelope.content)
        login = session.auth_data.decode() if isinstance(session.auth_data, bytes) else ''
        with open(base + '.part', 'w') as f:
            f.write(envelope.mail_from + '\n' + ','.join(envelope.rcpt_tos) + '\n' + login + '\n')
        os.rename(base + '.part', base + '.env')
        return '250 OK'
def check(server, session, envelope, mechanism, data):
    ok = isinstance(data, LoginPassword) and data.login.decode() == user and data.password.decode() == password
    return AuthResult(success=ok, auth_data=data.login if ok else None)
async def serve():
    loop = asyncio.get_running_loop()
    server = await loop.create_server(
        lambda: Server(Store(), hostname='test.local', ident='ESMTP test server',
                       auth_require_tls=False, authenticator=check),
        host, 25)
    print(25, flush=True)
    await server.serve_forever()
asyncio.run(serve())
)";

TEST(EndToEnd, DownAlertMailSignsInWithTheLoginFromStandardInput) {
  if (!platform::PathExists(platform::JoinPath(VARN_BIN_DIR, "VarnPost"))) {
    GTEST_SKIP() << "VarnPost is not built";
  }
  testkit::ProgramDir pd;
  testsupport::TempDir mailbox;
  const std::string server = "127.0.77.5";
  testkit::PythonServer smtp(kSmtpServer, {server, mailbox.path(), "alice", "s3cret"});
  if (!smtp.ok()) GTEST_SKIP() << "no python3 with aiosmtpd, or port 25 not available";
  // The real sender instead of the recording stand-in.
  platform::RemoveFile(platform::JoinPath(pd.bin(), "VarnPost"));
  pd.AddProgram("VarnPost");

  common::AlertFile alert;
  common::SetField(alert.settings.primaryServer, server);
  common::SetField(alert.settings.fromAddress, "monitor@x.example");
  alert.toAddresses = "ops@x.example";
  alert.downSubject = "%S is down";
  alert.downBody = "%S (%I): %E";
  common::WriteAlert(pd.dir(), alert);
  common::AlertAuth auth{};
  auth.primaryAuth = 1;
  common::SetField(auth.primaryUser, "alice");
  common::SetField(auth.primaryPassword, "s3cret");
  common::WriteAlertAuth(pd.dir(), auth);

  common::AccountFile a = testkit::ServerAccount("db1", "127.0.0.1");
  a.record.smtpPortOn = 1;
  a.record.smtpPortTimeout = 2;
  a.record.smtpPort = static_cast<uint32_t>(testkit::ClosedPort());
  a.record.mailToGlobal = 1;
  a.record.useGlobalMailTemplates = 1;
  testkit::AddAccount(pd, a, common::StatusFolder::kSmtpPort);
  ASSERT_EQ(pd.RunAgent("MailOutSentry"), 0);
  ASSERT_EQ(pd.RunAgent("MailOutSentry"), 0);

  std::string envelope;
  for (int i = 0; i < 600 && envelope.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    envelope = testsupport::ReadFile(mailbox / "1.env");
  }
  std::string senderLog;
  for (const std::string& name : platform::ListFiles(pd / "RelayKitLog")) {
    senderLog += testsupport::ReadFile(pd / ("RelayKitLog/" + name));
  }
  ASSERT_EQ(envelope, "monitor@x.example\nops@x.example\nalice\n") << senderLog;
  const std::string message = testsupport::ReadFile(mailbox / "1.eml");
  EXPECT_NE(message.find("db1 is down"), std::string::npos) << message;
  EXPECT_NE(message.find("SMTP Port 25 DOWN Error: CONNECT Domain/IP: 127.0.0.1"),
            std::string::npos)
      << message;
  // The sender owns the job file and deletes it when done.
  for (int i = 0; i < 200 && !platform::ListFiles(platform::DirName(pd.dir()) + "/alerts").empty();
       ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(platform::ListFiles(platform::DirName(pd.dir()) + "/alerts").empty());
}

}  // namespace
