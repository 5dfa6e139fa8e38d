// The result-code table the agents use for their log texts.
#include <gtest/gtest.h>

#include "hostcheck/ResultCodes.h"

namespace hostcheck {
namespace {

TEST(ResultCodes, TextsByCode) {
  struct Case {
    int32_t code;
    const char* text;  // nullptr: not listed
  };
  const Case cases[] = {
      {-900, "OPEN_SOCKET Domain/IP: %s"},
      {-901, "INIT_SOCKET Domain/IP: %s"},
      {-902, "CONNECT Domain/IP: %s"},
      {-904, "SEND_DATA Domain/IP: %s"},
      {-905, "RECV_DATA Domain/IP: %s"},
      {-906, "TIMEOUT Domain/IP: %s"},
      {-907, "SOMEBODYELSE_SOCKET Domain/IP: %s"},
      {-908, "TIMEOUT Domain/IP: %s"},
      {-909, "TOOFEWBYTE_REC Domain/IP: %s"},
      {-910, "TOOFEWBYTE_SND Domain/IP: %s"},
      {-850, "INCORRECT_VERSION Domain/IP: %s"},
      {-128, "BUF_TOO_SMALL Domain/IP: %s"},
      {-91, "DATA_SET Domain/IP: %s"},
      {-90, "NOT_ENOUGH_MEMORY Domain/IP: %s"},
      {-51, "HOST_DENY Domain/IP: %s"},
      {-920, "TLS_HANDSHAKE Domain/IP: %s"},
      {-921, "TLS_CERT_UNTRUSTED Domain/IP: %s"},
      {-922, "TLS_CERT_EXPIRED Domain/IP: %s"},
      {-923, "TLS_CERT_HOSTNAME Domain/IP: %s"},
      {-924, "TLS_CERT_EXPIRES_SOON Domain/IP: %s"},
      {-903, nullptr},
      {-1, nullptr},
      {-911, nullptr},
      {0, nullptr},
      {200, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    const char* text = ErrorTextFor(c.code);
    if (c.text == nullptr) {
      EXPECT_EQ(text, nullptr);
    } else {
      ASSERT_NE(text, nullptr);
      EXPECT_STREQ(text, c.text);
    }
  }
}

TEST(ResultCodes, FormattedWithTheHost) {
  EXPECT_EQ(FormatErrorText(-902, "www.example.test"), "CONNECT Domain/IP: www.example.test");
  EXPECT_EQ(FormatErrorText(-3, "10.1.2.3"), "Unreachable Domain/IP: 10.1.2.3");
  EXPECT_EQ(FormatErrorText(-906, "%s%n"), "TIMEOUT Domain/IP: %s%n") << "the host is no format";
  EXPECT_EQ(FormatErrorText(12, "h"), "");
}

TEST(ResultCodes, CertificateEndTexts) {
  EXPECT_EQ(CertificateEndText(-922, "h.test", "2030-01-02", 0),
            "TLS_CERT_EXPIRED Domain/IP: h.test (certificate ended 2030-01-02)");
  EXPECT_EQ(
      CertificateEndText(-924, "h.test", "2030-01-02", 5),
      "TLS_CERT_EXPIRES_SOON Domain/IP: h.test (certificate valid until 2030-01-02, 5 days left)");
  EXPECT_EQ(
      CertificateEndText(-924, "h.test", "2030-01-02", 1),
      "TLS_CERT_EXPIRES_SOON Domain/IP: h.test (certificate valid until 2030-01-02, 1 day left)");
  EXPECT_EQ(CertificateEndText(-923, "h.test", "2030-01-02", 5),
            "TLS_CERT_HOSTNAME Domain/IP: h.test")
      << "no date for the other codes";
}

}  // namespace
}  // namespace hostcheck
