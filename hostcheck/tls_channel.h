// TLS over a connected socket for the web fetch: the handshake (with SNI), the checks of the
// server's certificate, then the application bytes as a ByteChannel.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "hostcheck/byte_channel.h"

namespace hostcheck {

struct TlsSettings {
  // Check the chain against the system's trust store (plus `caFile`) and the host name.
  bool verify = true;
  // A certificate that ends within this many days fails (0: no such check). Applies whether
  // or not the chain is verified.
  int32_t certDays = 14;
  // A PEM file of certificates trusted beside the system's store ("" for none). A file that
  // cannot be read adds nothing: certificates only it would vouch for are then not trusted.
  std::string caFile;
};

// The certificate's end as the texts name it: "YYYY-MM-DD" (UTC), and the days left counted
// up (a part of a day counts as a day). `secondsLeft` of 0 or less is an ended certificate.
std::string CertificateEndDate(int64_t notAfterUnix);
int64_t CertificateDaysLeft(int64_t secondsLeft);

class TlsChannel : public ByteChannel {
 public:
  // Takes over nothing: the socket `fd` (connected, non-blocking) stays the caller's.
  explicit TlsChannel(int fd);
  ~TlsChannel() override;
  TlsChannel(const TlsChannel&) = delete;
  TlsChannel& operator=(const TlsChannel&) = delete;

  // Runs the handshake for `host` (sent as SNI unless it is an IPv4 address, which is then
  // what the certificate must name), each wait bounded by `timeoutMs` and all of it by the
  // monotonic `deadlineMs`, then judges the certificate: with `verify`, a chain the trust
  // store does not vouch for gives -921, an ended certificate (or one not valid yet) -922, a
  // certificate for another name -923 (the first of these the chain shows); then a certificate
  // ending within `certDays` gives -924, or -922 once ended. A handshake the server breaks off or
  // answers with anything but TLS gives -920, a wait that runs out -906, no memory -90.
  // 0 when the channel is ready. On -920 to -924 `failureText` holds the log text: the
  // code's text with the host, for -922 and -924 followed by the end date (and days left);
  // it is left alone for the other results.
  int32_t Open(const std::string& host, const TlsSettings& settings, int32_t timeoutMs,
               int64_t deadlineMs, std::string* failureText);

  long Receive(char* buffer, size_t size) override;
  long Send(const char* data, size_t size) override;
  int WaitReceive(int timeoutMs) override;
  int WaitSend(int timeoutMs) override;

 private:
  struct State;
  int fd_;
  std::unique_ptr<State> state_;
  short wanted_ = 0;  // what the last call that could not go on waits for (POLLIN/POLLOUT)
};

}  // namespace hostcheck
