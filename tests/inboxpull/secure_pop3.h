// POP3 over TLS for the library's tests, on 127.0.0.1: a private dovecot that requires STLS
// on its plain port and speaks TLS from the first byte on a second one, with a certificate
// the test gives it.
#pragma once

#include <string>
#include <vector>

#include "mail_servers.h"

namespace mailtest {

class SecureDovecot : public Dovecot {
 public:
  SecureDovecot(const std::vector<MailUser>& users, const std::string& certFile,
                const std::string& keyFile)
      : Dovecot(users, DovecotTls{certFile, keyFile}) {}
  int stlsPort() const { return port(); }
};

}  // namespace mailtest
