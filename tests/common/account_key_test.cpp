#include "common/account_key.h"

#include <gtest/gtest.h>

#include <cstring>

using common::DecodeKey;
using common::HexKey;

TEST(AccountKey, FirstThirtyOneBytesAsLowerCaseHexWithoutCaseFolding) {
  EXPECT_EQ(HexKey("ABC"), "414243");
  EXPECT_EQ(HexKey("abc"), "616263");
  EXPECT_EQ(HexKey(""), "");
  EXPECT_EQ(HexKey("\x82\xa0"), "82a0");
  const std::string longName(40, 'x');
  EXPECT_EQ(HexKey(longName).size(), 62u);
  // Names that differ only after byte 31 share one key.
  EXPECT_EQ(HexKey(std::string(31, 'a') + "one"), HexKey(std::string(31, 'a') + "two"));
}

TEST(AccountKey, DecodingRestoresNamesAndKeepsTheServiceSuffix) {
  struct Case {
    const char* key;
    std::string name;
  } cases[] = {
      {"414243", "ABC"},
      {"4A4b4C", "JKL"},                      // either case of hex digits
      {"414243(HTTP Alt)", "ABC(HTTP Alt)"},  // custom service rows
      {"28292829(x)", "()()(x)"},             // split at the last "("
      {"(x)", "\xef"},  // a "(" at the start is no suffix: read as hex, 0xEF (no lead byte)
      {"zz41", std::string("\xef") + "A"},  // other characters count as -1
      {"41", "A"},
      {"414", "A"},  // a lone digit at the end is dropped
  };
  for (const Case& c : cases) EXPECT_EQ(DecodeKey(c.key), c.name) << c.key;
}

TEST(AccountKey, ALeadByteCutByTheKeyLengthIsDropped) {
  // 30 ASCII bytes and one two-byte character: the key keeps only the lead byte.
  const std::string name = std::string(30, 'n') + "\x83\x65";
  const std::string key = HexKey(name);
  EXPECT_EQ(key.substr(60), "83");
  EXPECT_EQ(DecodeKey(key), std::string(30, 'n'));
  // A complete double-byte character at the end stays.
  EXPECT_EQ(DecodeKey(HexKey("ab\x83\x65")), "ab\x83\x65");
  EXPECT_EQ(DecodeKey(HexKey("\x83\x65\x83") + "(svc)"), "\x83\x65(svc)");
}

// Only the code page's lead bytes open a double-byte character; a name made of other high
// bytes (half-width katakana above all) decodes to itself, so saving it again keeps its key.
TEST(AccountKey, OnlyCodePageLeadBytesPairUp) {
  const struct {
    std::string name;
    std::string decoded;
  } cases[] = {
      {"\xb1\xb2\xb3", "\xb1\xb2\xb3"},          // half-width katakana, odd count
      {"\xb6\xc5\x31\xb3", "\xb6\xc5\x31\xb3"},  // katakana, a digit, katakana
      {"a\x85", "a\x85"},                        // 0x85, 0x86 and 0xA0 are no lead bytes
      {"a\xa0", "a\xa0"},
      {"a\xeb", "a\xeb"},  // nor 0xEB-0xF9 and 0xFD-0xFF
      {"a\xfd", "a\xfd"},
      {"\xb1\x83", "\xb1"},  // a katakana, then a lead byte cut from its trail
      {"\xe0\x40\xea", "\xe0\x40"},
      {"\xfc\xb1\xfa", "\xfc\xb1"},  // katakana as a trail byte stays with its lead
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DecodeKey(HexKey(c.name)), c.decoded) << HexKey(c.name);
    EXPECT_EQ(DecodeKey(HexKey(c.name) + "(s)"), c.decoded + "(s)") << HexKey(c.name);
  }
}

TEST(AccountKey, InPlaceFormsWorkOnSixtyFiveByteBuffers) {
  char buf[65];
  std::memset(buf, 'z', sizeof buf);
  std::strcpy(buf, "Web Server");
  common::MakeAccountKey(buf);
  EXPECT_STREQ(buf, "57656220536572766572");
  EXPECT_EQ(buf[64], '\0');
  common::DecodeAccountKey(buf);
  EXPECT_STREQ(buf, "Web Server");
}
