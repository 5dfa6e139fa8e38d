#include "platform/codepage.h"

#include <gtest/gtest.h>

TEST(CodePage, ShiftJisAndUtf8RoundTrip) {
  const std::string sjis = "\x83\x65\x83\x58\x83\x67 abc";  // katakana "tesuto" in Shift-JIS
  auto utf8 = platform::Cp932ToUtf8(sjis);
  ASSERT_TRUE(utf8.has_value());
  EXPECT_EQ(*utf8, "\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88 abc");
  EXPECT_EQ(platform::Utf8ToCp932(*utf8), sjis);
}

TEST(CodePage, TextTheTargetCannotHoldIsRefused) {
  EXPECT_FALSE(platform::Utf8ToCp932("\xF0\x9F\x98\x80").has_value());  // an emoji
  EXPECT_FALSE(platform::Utf8ToCp932("\xC3").has_value());              // cut sequence
  EXPECT_FALSE(platform::Cp932ToUtf8("\x83").has_value());              // lone lead byte
}

TEST(CodePage, LeadBytesOfDoubleByteCharacters) {
  int leads = 0;
  for (int c = 0; c < 256; ++c) leads += platform::IsSjisLeadByte(static_cast<unsigned char>(c));
  EXPECT_EQ(leads, 4 + 25 + 11 + 3);
  EXPECT_FALSE(platform::IsSjisLeadByte(0x85));
  EXPECT_FALSE(platform::IsSjisLeadByte(0xA0));
  EXPECT_TRUE(platform::IsSjisLeadByte(0xFC));
}
