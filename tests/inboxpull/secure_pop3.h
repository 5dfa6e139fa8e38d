// POP3 over TLS for the library's tests, on 127.0.0.1: a private dovecot that requires STLS
// on its plain port and speaks TLS from the first byte on a second one, with a certificate
// the test gives it.
#pragma once

#include <string>
#include <vector>

#include "mail_servers.h"

namespace mailtest {

class SecureDovecot {
 public:
  SecureDovecot(const std::vector<MailUser>& users, const std::string& certFile,
                const std::string& keyFile);
  ~SecureDovecot();
  SecureDovecot(const SecureDovecot&) = delete;
  SecureDovecot& operator=(const SecureDovecot&) = delete;

  bool ok() const { return pid_ > 0; }
  const std::string& skipReason() const { return skipReason_; }
  int stlsPort() const { return stlsPort_; }
  int implicitPort() const { return implicitPort_; }
  void Deliver(const std::string& user, const std::string& text) const;
  int MessageCount(const std::string& user) const;

 private:
  bool Start(const std::vector<MailUser>& users, const std::string& certFile,
             const std::string& keyFile);

  std::string base_, mailRoot_;
  int pid_ = -1;
  int stlsPort_ = 0, implicitPort_ = 0;
  unsigned uid_ = 65534, gid_ = 65534;
  std::string skipReason_;
};

}  // namespace mailtest
