// The loopback servers of the browser walk through secure accounts, started from the tests'
// own server helpers with certificates of a test authority: nginx over TLS with a valid, an
// expired and a wrongly named certificate; an SMTP relay that requires STARTTLS and AUTH
// delivering into a dovecot that requires STLS (and speaks TLS from the first byte on a
// second port); vsftpd requiring AUTH TLS; and a second relay requiring STARTTLS and AUTH
// for the alert mail, delivering into a folder of its own.
//
// Prints one JSON object with the CA file, the ports, the sign-ins and the alert relay's
// mail folder once everything listens, then serves until its standard input closes.
// Exits 77 (with the reason on standard error) when a server cannot run here.
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "ftps_servers.h"
#include "secure_pop3.h"
#include "support/cert_authority.h"
#include "support/temp_dir.h"
#include "tls_servers.h"

namespace {

constexpr int kSkip = 77;
constexpr const char* kMailUser = "alice";
constexpr const char* kMailPassword = "Walk-Mail-5Tq";
constexpr const char* kRelayUser = "alerts";
constexpr const char* kRelayPassword = "Walk-Relay-8Kd";

int Skip(const std::string& why) {
  std::fprintf(stderr, "%s\n", why.c_str());
  return kSkip;
}

tlstest::CertFiles Files(const testsupport::IssuedCert& cert) {
  return {cert.certFile, cert.keyFile};
}

}  // namespace

int main() {
  testsupport::CertAuthority ca;
  if (!ca.ok()) return Skip(ca.skipReason());
  const testsupport::IssuedCert valid = ca.Issue("valid");
  const testsupport::IssuedCert expired = ca.Issue("expired", SpecFor(testsupport::kExpired));
  const testsupport::IssuedCert misnamed = ca.Issue("misnamed", SpecFor(testsupport::kWrongHost));
  if (valid.certFile.empty() || expired.certFile.empty() || misnamed.certFile.empty()) {
    return Skip("openssl could not issue the certificates");
  }

  testsupport::TempDir web;
  testsupport::WriteFile(web / "index.htm", "<html><body><p>secure page</p></body></html>");
  tlstest::NginxTls nginx(
      web.path(), {{0, "", Files(valid)}, {0, "", Files(expired)}, {0, "", Files(misnamed)}});
  if (!nginx.running()) return Skip("nginx not available");

  mailtest::SecureDovecot pop({{kMailUser, kMailPassword}}, valid.certFile, valid.keyFile);
  if (!pop.ok()) return Skip(pop.skipReason());
  mailtest::SmtpOptions relayOptions;
  relayOptions.user = kMailUser;
  relayOptions.password = kMailPassword;
  relayOptions.certFile = valid.certFile;
  relayOptions.keyFile = valid.keyFile;
  relayOptions.requireAuth = true;
  mailtest::MaildirSmtp relay(pop, relayOptions);
  if (!relay.ok()) return Skip("aiosmtpd not available");

  testsupport::TempDir alertRoot;
  mailtest::SmtpOptions alertOptions = relayOptions;
  alertOptions.user = kRelayUser;
  alertOptions.password = kRelayPassword;
  mailtest::MaildirSmtp alertRelay(alertRoot.path(),
                                   std::to_string(::getuid()) + ":" + std::to_string(::getgid()),
                                   alertOptions);
  if (!alertRelay.ok()) return Skip("aiosmtpd not available");

  ftptest::Vsftpd ftps(
      ftptest::FtpsOptions(ftptest::FtpsMode::kExplicit, valid.certFile, valid.keyFile));
  if (!ftps.ok()) return Skip(ftps.skipReason());

  std::printf(
      "{\"ca\":\"%s\",\"https\":{\"valid\":%d,\"expired\":%d,\"misnamed\":%d},"
      "\"smtp\":%d,\"pop\":%d,\"popImplicit\":%d,\"mailUser\":\"%s\",\"mailPassword\":\"%s\","
      "\"ftp\":%d,\"ftpUser\":\"%s\",\"ftpPassword\":\"%s\","
      "\"alertRelay\":%d,\"relayUser\":\"%s\",\"relayPassword\":\"%s\",\"alertMail\":\"%s\"}\n",
      ca.caFile().c_str(), nginx.port(0), nginx.port(1), nginx.port(2), relay.port(),
      pop.stlsPort(), pop.implicitPort(), kMailUser, kMailPassword, ftps.port(), ftptest::kUser,
      ftptest::kPassword, alertRelay.port(), kRelayUser, kRelayPassword, alertRoot.path().c_str());
  std::fflush(stdout);

  char buffer[256];
  while (::read(STDIN_FILENO, buffer, sizeof buffer) > 0) {
  }
  return 0;
}
