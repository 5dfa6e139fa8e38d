#include "tls_servers.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <thread>

#include "loopback_servers.h"

namespace tlstest {
namespace {

// Runs a shell command quietly; true when it exits with 0. Every path given to it comes
// from a temporary folder of the test's own (no blanks or quotes).
bool Run(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// The time as `openssl ca` takes it: YYYYMMDDHHMMSSZ.
std::string CaTime(int64_t unixTime) {
  time_t t = static_cast<time_t>(unixTime);
  struct tm parts {};
  ::gmtime_r(&t, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%d%H%M%SZ", &parts);
  return text;
}

constexpr const char* kNewKey = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";

bool Accepts(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

}  // namespace

int64_t Now() {
  return static_cast<int64_t>(::time(nullptr));
}

std::string UtcDate(int64_t unixTime) {
  time_t t = static_cast<time_t>(unixTime);
  struct tm parts {};
  ::gmtime_r(&t, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d", &parts);
  return text;
}

TestCa::TestCa() {
  caCert_ = dir_ / "ca.pem";
  caKey_ = dir_ / "ca.key";
  testsupport::WriteFile(dir_ / "index.txt", "");
  testsupport::WriteFile(dir_ / "serial", "01\n");
  testsupport::WriteFile(dir_ / "new/.keep", "");
  testsupport::WriteFile(dir_ / "ca.cnf",
                         "[ca]\ndefault_ca = test\n[test]\ndatabase = " + (dir_ / "index.txt") +
                             "\nnew_certs_dir = " + (dir_ / "new") +
                             "\nserial = " + (dir_ / "serial") +
                             "\ndefault_md = sha256\npolicy = any\nunique_subject = no\n"
                             "[any]\ncommonName = supplied\n");
  ok_ = Run(std::string("openssl req -x509 ") + kNewKey + " -keyout " + caKey_ + " -out " +
            caCert_ + " -days 30 -subj /CN=Test-CA");
}

CertFiles TestCa::Issue(const std::string& name, const std::string& sans, int64_t notBefore,
                        int64_t notAfter, bool selfSigned) {
  CertFiles files{dir_ / (name + ".pem"), dir_ / (name + ".key")};
  bool made = false;
  if (selfSigned) {
    made = Run(std::string("openssl req -x509 ") + kNewKey + " -keyout " + files.key + " -out " +
               files.cert + " -days 30 -subj /CN=" + name + " -addext subjectAltName=" + sans);
  } else {
    const std::string csr = dir_ / (name + ".csr");
    const std::string ext = dir_ / (name + ".ext");
    testsupport::WriteFile(ext, "subjectAltName=" + sans +
                                    "\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n");
    made = Run(std::string("openssl req -new ") + kNewKey + " -keyout " + files.key + " -out " +
               csr + " -subj /CN=" + name) &&
           Run("openssl ca -batch -notext -config " + (dir_ / "ca.cnf") + " -cert " + caCert_ +
               " -keyfile " + caKey_ + " -in " + csr + " -out " + files.cert + " -startdate " +
               CaTime(notBefore) + " -enddate " + CaTime(notAfter) + " -extfile " + ext);
  }
  ++serial_;
  if (!made) return {};
  return files;
}

NginxTls::NginxTls(const std::string& root, std::vector<TlsSite> sites) : sites_(std::move(sites)) {
  std::string servers;
  int previous = 0;
  for (TlsSite& site : sites_) {
    if (site.port < 0) site.port = previous;
    if (site.port <= 0) site.port = hostchecktest::UnusedPort();
    previous = site.port;
    servers += "  server {\n    listen 127.0.0.1:" + std::to_string(site.port) + " ssl" +
               (site.serverName.empty() ? " default_server" : "") + ";\n    server_name " +
               (site.serverName.empty() ? std::string("_") : site.serverName) +
               ";\n    ssl_certificate " + site.cert.cert + ";\n    ssl_certificate_key " +
               site.cert.key + ";\n    root " + root + ";\n  }\n";
  }
  const std::string d = dir_.path();
  testsupport::WriteFile(dir_ / "logs/.keep", "");
  testsupport::WriteFile(
      dir_ / "nginx.conf",
      "daemon off;\nmaster_process off;\nworker_processes 1;\npid " + d + "/nginx.pid;\n" +
          "error_log " + d + "/logs/error.log;\nevents { worker_connections 512; }\nhttp {\n" +
          "  access_log off;\n  client_body_temp_path " + d + "/body;\n  proxy_temp_path " + d +
          "/proxy;\n  fastcgi_temp_path " + d + "/fastcgi;\n  uwsgi_temp_path " + d +
          "/uwsgi;\n  scgi_temp_path " + d + "/scgi;\n" + servers + "}\n");
  pid_ = ::fork();
  if (pid_ == 0) {
    int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, 1);
    ::dup2(null, 2);
    const std::string conf = d + "/nginx.conf";
    const std::string log = d + "/logs/error.log";
    for (const char* nginx : {"/usr/sbin/nginx", "nginx"}) {
      ::execlp(nginx, "nginx", "-p", d.c_str(), "-c", conf.c_str(), "-e", log.c_str(),
               static_cast<char*>(nullptr));
    }
    ::_exit(127);
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (pid_ > 0 && std::chrono::steady_clock::now() < deadline) {
    if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;  // it ended: no nginx, or a port taken meanwhile
      break;
    }
    bool all = true;
    for (const TlsSite& site : sites_) all = all && Accepts(site.port);
    if (all) {
      running_ = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

NginxTls::~NginxTls() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
}

}  // namespace tlstest
