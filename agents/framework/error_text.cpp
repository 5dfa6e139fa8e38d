#include "agents/framework/error_text.h"

namespace agents {
namespace {

struct CodeText {
  int32_t code;
  const char* word;
};

// The network check library's result codes and the words that name them.
constexpr CodeText kCodeTexts[] = {
    {-900, "OPEN_SOCKET"},      {-901, "INIT_SOCKET"},       {-902, "CONNECT"},
    {-904, "SEND_DATA"},        {-905, "RECV_DATA"},         {-906, "TIMEOUT"},
    {-907, "SOMEBODYELSE_SOCKET"}, {-908, "TIMEOUT"},        {-909, "TOOFEWBYTE_REC"},
    {-910, "TOOFEWBYTE_SND"},   {-850, "INCORRECT_VERSION"}, {-128, "BUF_TOO_SMALL"},
    {-91, "DATA_SET"},          {-90, "NOT_ENOUGH_MEMORY"},  {-51, "HOST_DENY"},
};

constexpr CodeText kAuthTexts[] = {
    {-911, "SMTP_AUTHFAILED"}, {-912, "FTP_AUTHFAILED"}, {-17, "POP3_AUTHFAILED"}};

}  // namespace

std::string ErrorText(int32_t code, const std::string& host, bool authTexts) {
  if (code >= 0) return " Domain/IP: " + host;
  const char* word = "Unreachable";
  for (const CodeText& entry : kCodeTexts) {
    if (entry.code == code) word = entry.word;
  }
  if (authTexts) {
    for (const CodeText& entry : kAuthTexts) {
      if (entry.code == code) word = entry.word;
    }
  }
  return std::string(word) + " Domain/IP: " + host;
}

}  // namespace agents
