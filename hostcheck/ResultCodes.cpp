#include "hostcheck/ResultCodes.h"

namespace hostcheck {
namespace {

struct CodeText {
  int32_t code;
  const char* text;
};

constexpr CodeText kTable[] = {
    {kOpenSocket, "OPEN_SOCKET Domain/IP: %s"},
    {kInitSocket, "INIT_SOCKET Domain/IP: %s"},
    {kConnect, "CONNECT Domain/IP: %s"},
    {kSendData, "SEND_DATA Domain/IP: %s"},
    {kRecvData, "RECV_DATA Domain/IP: %s"},
    {kTimeout, "TIMEOUT Domain/IP: %s"},
    {kSomebodyElseSocket, "SOMEBODYELSE_SOCKET Domain/IP: %s"},
    {kNotEchoReply, "TIMEOUT Domain/IP: %s"},
    {kTooFewBytesReceived, "TOOFEWBYTE_REC Domain/IP: %s"},
    {kTooFewBytesSent, "TOOFEWBYTE_SND Domain/IP: %s"},
    {kIncorrectVersion, "INCORRECT_VERSION Domain/IP: %s"},
    {kBufferTooSmall, "BUF_TOO_SMALL Domain/IP: %s"},
    {kDataSet, "DATA_SET Domain/IP: %s"},
    {kNotEnoughMemory, "NOT_ENOUGH_MEMORY Domain/IP: %s"},
    {kHostDeny, "HOST_DENY Domain/IP: %s"},
    {kTlsHandshake, "TLS_HANDSHAKE Domain/IP: %s"},
    {kTlsUntrusted, "TLS_CERT_UNTRUSTED Domain/IP: %s"},
    {kTlsExpired, "TLS_CERT_EXPIRED Domain/IP: %s"},
    {kTlsHostMismatch, "TLS_CERT_HOSTNAME Domain/IP: %s"},
    {kTlsRefused, "TLS_REFUSED Domain/IP: %s"},
};

constexpr const char kUnlisted[] = "Unreachable Domain/IP: %s";

std::string FillHost(const char* format, const std::string& host) {
  std::string text(format);
  size_t at = text.find("%s");
  if (at != std::string::npos) text.replace(at, 2, host);
  return text;
}

}  // namespace

const char* ErrorTextFor(int32_t code) {
  for (const CodeText& entry : kTable) {
    if (entry.code == code) return entry.text;
  }
  return nullptr;
}

std::string FormatErrorText(int32_t code, const std::string& host) {
  if (code >= 0) return "";
  const char* format = ErrorTextFor(code);
  return FillHost(format ? format : kUnlisted, host);
}

std::string EscapeControlBytes(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) {
      out += '^';
      out += static_cast<char>(c == 0x7F ? '?' : c + 0x40);
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace hostcheck
