// Secure web servers on 127.0.0.1 for the TLS tests: a test certificate authority made with
// the openssl command line, certificates it signs (or self-signed ones) with the names and
// validity a test asks for, and a private nginx instance serving a folder over TLS.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace tlstest {

struct CertFiles {
  std::string cert;  // PEM certificate
  std::string key;   // PEM private key
};

// A certificate authority of the test's own, in a fresh folder.
class TestCa {
 public:
  TestCa();
  bool ok() const { return ok_; }
  const std::string& caFile() const { return caCert_; }

  // A server certificate for the subject alternative names `sans` ("DNS:localhost,IP:...")
  // valid from `notBefore` to `notAfter` (Unix times), signed by this authority, or signed
  // by itself with `selfSigned`. Empty paths when openssl failed.
  CertFiles Issue(const std::string& name, const std::string& sans, int64_t notBefore,
                  int64_t notAfter, bool selfSigned = false);

 private:
  testsupport::TempDir dir_;
  std::string caCert_, caKey_;
  bool ok_ = false;
  int serial_ = 1;
};

// One server block: a port (0 for a fresh one, -1 for the port of the site before it, so
// that SNI picks among them) with its certificate; `serverName` empty for the port's
// default server (the one a handshake without SNI reaches).
struct TlsSite {
  int port = 0;
  std::string serverName;
  CertFiles cert;
};

// nginx on 127.0.0.1 serving `root` over TLS on every site's port, stopped with the object.
class NginxTls {
 public:
  NginxTls(const std::string& root, std::vector<TlsSite> sites);
  ~NginxTls();
  NginxTls(const NginxTls&) = delete;
  NginxTls& operator=(const NginxTls&) = delete;
  bool running() const { return running_; }
  // The port of the i-th site (as given, or chosen).
  int port(size_t i) const { return sites_[i].port; }

 private:
  testsupport::TempDir dir_;
  std::vector<TlsSite> sites_;
  pid_t pid_ = -1;
  bool running_ = false;
};

// "YYYY-MM-DD" of a Unix time, in UTC.
std::string UtcDate(int64_t unixTime);

// The current Unix time.
int64_t Now();

}  // namespace tlstest
