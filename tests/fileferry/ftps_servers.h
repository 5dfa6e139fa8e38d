// FTPS servers for the transfer library's tests: vsftpd with a certificate the test gives
// it, requiring AUTH TLS for the sign-in and TLS on every data connection, or speaking TLS
// from the first byte.
#pragma once

#include <string>

#include "ftp_servers.h"

namespace ftptest {

enum class FtpsMode { kExplicit, kImplicit };

// Options for Vsftpd that turn on TLS with `certFile` and `keyFile` (PEM).
VsftpdOptions FtpsOptions(FtpsMode mode, const std::string& certFile, const std::string& keyFile,
                          bool logProtocol = true);

}  // namespace ftptest
