// A certificate authority of the test's own, made with the openssl command line in a fresh
// folder: the tests trust it through a CA file and issue server certificates from it, valid
// or broken on purpose (another host name, past their end, ending soon, signed by nobody).
#pragma once

#include <string>
#include <vector>

namespace testsupport {

struct CertSpec {
  std::vector<std::string> dnsNames = {"localhost"};
  std::vector<std::string> addresses = {"127.0.0.1"};
  // Validity in days from now (negative: in the past).
  int startDays = -1;
  int endDays = 30;
  bool selfSigned = false;  // not issued by the authority: nothing vouches for it
};

struct IssuedCert {
  std::string certFile;  // PEM
  std::string keyFile;   // PEM, unencrypted
};

class CertAuthority {
 public:
  CertAuthority();
  ~CertAuthority();
  CertAuthority(const CertAuthority&) = delete;
  CertAuthority& operator=(const CertAuthority&) = delete;

  bool ok() const { return !caFile_.empty(); }
  const std::string& skipReason() const { return skipReason_; }
  // The authority's certificate, for a CA file option.
  const std::string& caFile() const { return caFile_; }
  // A new key and certificate named `name`; empty files names when openssl failed.
  IssuedCert Issue(const std::string& name, const CertSpec& spec = {});

 private:
  std::string base_, caFile_, caKey_, skipReason_;
  int serial_ = 0;
};

}  // namespace testsupport
