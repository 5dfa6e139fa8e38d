// The result codes of the network check library and the error text the logs show for
// each. Shared by the library (its page checker writes these texts) and by the scan
// agents, which add their own texts for the codes they raise themselves.
#pragma once

#include <cstdint>
#include <string>

namespace hostcheck {

enum ResultCode : int32_t {
  kOpenSocket = -900,          // the socket cannot be created
  kInitSocket = -901,          // start-up failed; Ping and IsMailPortOpen: unresolvable host
  kConnect = -902,             // connect or event failure; IsWebPortOpen/page: unresolvable host
  kSendData = -904,            // the request was not sent whole
  kRecvData = -905,            // not raised by the library
  kTimeout = -906,             // a wait for an event or reply ran out
  kSomebodyElseSocket = -907,  // an echo reply for another process (internal to Ping)
  kNotEchoReply = -908,        // Ping: the ICMP message received is not an echo reply
  kTooFewBytesReceived = -909,
  kTooFewBytesSent = -910,
  kIncorrectVersion = -850,  // page fetch: start-up failed
  kBufferTooSmall = -128,
  kDataSet = -91,
  kNotEnoughMemory = -90,
  kHostDeny = -51,
  // Secure connections.
  kTlsHandshake = -920,     // the TLS handshake failed (or the CA file could not be read)
  kTlsUntrusted = -921,     // the certificate chain leads to no trusted authority
  kTlsExpired = -922,       // the certificate has expired or is not valid yet
  kTlsHostMismatch = -923,  // the certificate is made out to another host
  kTlsRefused = -925,       // the server refused the upgrade (STARTTLS, STLS, AUTH TLS)
};

// The table's error text for a code, with "%s" where the host goes, or nullptr when the
// code is not listed (every code of 0 or more, and negative codes the table lacks, for
// which callers use their own fallback text).
const char* ErrorTextFor(int32_t code);

// The listed text with the host put in; for an unlisted negative code
// "Unreachable Domain/IP: <host>"; "" for a code of 0 or more.
std::string FormatErrorText(int32_t code, const std::string& host);

// Text that came from a server (status lines, error entries, link hosts) as a log line may
// hold it: every control byte is written as ^X (0x00-0x1F as ^@ to ^_, DEL as ^?), so no
// answer can break a log line or steer a terminal that shows it.
std::string EscapeControlBytes(const std::string& text);

}  // namespace hostcheck
