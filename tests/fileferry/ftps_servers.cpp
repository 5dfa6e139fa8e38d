#include "ftps_servers.h"

namespace ftptest {

VsftpdOptions FtpsOptions(FtpsMode mode, const std::string& certFile, const std::string& keyFile,
                          bool logProtocol) {
  VsftpdOptions options;
  options.logProtocol = logProtocol;
  options.implicitTls = mode == FtpsMode::kImplicit;
  options.extraConfig = "ssl_enable=YES\nrsa_cert_file=" + certFile +
                        "\nrsa_private_key_file=" + keyFile +
                        "\nallow_anon_ssl=NO\nforce_local_logins_ssl=YES\n"
                        "force_local_data_ssl=YES\nssl_tlsv1=YES\nssl_sslv2=NO\nssl_sslv3=NO\n"
                        // The default cipher list is one that current TLS libraries refuse,
                        // and session reuse on the data connections is not what is tested.
                        "ssl_ciphers=HIGH\nrequire_ssl_reuse=NO\n";
  if (options.implicitTls) options.extraConfig += "implicit_ssl=YES\n";
  return options;
}

}  // namespace ftptest
