#include "support/cert_authority.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>

namespace testsupport {
namespace {

constexpr const char* kOpenssl = "/usr/bin/openssl";

// Runs openssl with `args`, its output to `log`; true on exit code 0.
bool Openssl(const std::vector<std::string>& args, const std::string& log) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    const int in = ::open("/dev/null", O_RDONLY);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(out, 2);
    std::vector<char*> argv{const_cast<char*>("openssl")};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(kOpenssl, argv.data());
    ::_exit(127);
  }
  int status = 0;
  return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

// "YYYYMMDDHHMMSSZ" for now plus `days`.
std::string Stamp(int days) {
  const std::time_t at = std::time(nullptr) + static_cast<std::time_t>(days) * 86400;
  std::tm tm{};
  ::gmtime_r(&at, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%d%H%M%SZ", &tm);
  return text;
}

std::string AltNames(const CertSpec& spec) {
  std::string names;
  for (const std::string& n : spec.dnsNames) names += (names.empty() ? "" : ",") + ("DNS:" + n);
  for (const std::string& a : spec.addresses) names += (names.empty() ? "" : ",") + ("IP:" + a);
  return "subjectAltName=" + names;
}

}  // namespace

CertAuthority::CertAuthority() {
  if (::access(kOpenssl, X_OK) != 0) {
    skipReason_ = "the openssl command line is not installed";
    return;
  }
  char pattern[] = "/tmp/varn-ca-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) {
    skipReason_ = "cannot make a folder";
    return;
  }
  base_ = pattern;
  // Servers that drop their rights still read their files below.
  ::chmod(base_.c_str(), 0755);
  std::filesystem::create_directories(base_ + "/issued");
  std::ofstream(base_ + "/index.txt").close();
  std::ofstream(base_ + "/ca.cnf") << "[ca]\ndefault_ca = test\n[test]\n"
                                   << "database = " << base_ << "/index.txt\n"
                                   << "new_certs_dir = " << base_ << "/issued\n"
                                   << "serial = " << base_ << "/serial\n"
                                   << "default_md = sha256\npolicy = any\n"
                                   << "copy_extensions = copy\nunique_subject = no\n"
                                   << "[any]\ncommonName = supplied\n";
  const std::string key = base_ + "/ca.key", cert = base_ + "/ca.pem";
  if (!Openssl(
          {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
           "-keyout", key, "-out", cert, "-subj", "/CN=Varnock Test CA", "-days", "60", "-addext",
           "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign"},
          base_ + "/openssl.log")) {
    skipReason_ = "openssl could not make the test authority (see " + base_ + "/openssl.log)";
    return;
  }
  caKey_ = key;
  caFile_ = cert;
}

CertAuthority::~CertAuthority() {
  if (base_.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(base_, ec);
}

IssuedCert CertAuthority::Issue(const std::string& name, const CertSpec& spec) {
  const std::string key = base_ + "/" + name + ".key", cert = base_ + "/" + name + ".pem";
  const std::string log = base_ + "/openssl.log";
  const std::string cn = spec.dnsNames.empty() ? name : spec.dnsNames.front();
  bool made = false;
  if (spec.selfSigned) {
    made = Openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                    "-nodes", "-keyout", key, "-out", cert, "-subj", "/CN=" + cn, "-days",
                    std::to_string(spec.endDays > 0 ? spec.endDays : 1), "-addext", AltNames(spec)},
                   log);
  } else {
    const std::string csr = base_ + "/" + name + ".csr";
    ++serial_;
    char serial[16];
    std::snprintf(serial, sizeof serial, "%02X\n", serial_);
    std::ofstream(base_ + "/serial") << serial;
    made = Openssl({"req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                    "-nodes", "-keyout", key, "-out", csr, "-subj", "/CN=" + cn, "-addext",
                    AltNames(spec)},
                   log) &&
           Openssl({"ca", "-batch", "-notext", "-config", base_ + "/ca.cnf", "-cert", caFile_,
                    "-keyfile", caKey_, "-in", csr, "-out", cert, "-startdate",
                    Stamp(spec.startDays), "-enddate", Stamp(spec.endDays)},
                   log);
  }
  if (!made) return {};
  ::chmod(key.c_str(), 0644);
  return {cert, key};
}

}  // namespace testsupport
