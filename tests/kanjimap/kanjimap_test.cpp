// Detection and conversion of Japanese texts to Shift-JIS, in place.
#include "kanjimap/KANJIMAP.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/files.h"
#include "support/temp_dir.h"

namespace {

struct Case {
  const char* what;
  std::string input;
  std::string output;  // the bytes before the returned length
};

// The buffer a caller passes: the text, a terminating zero and a guard byte.
std::string ConvertCopy(const std::string& input, int32_t (*convert)(char*, int32_t),
                        int32_t* length) {
  std::string buffer = input + '\0' + '#';
  *length = convert(buffer.data(), static_cast<int32_t>(input.size()));
  EXPECT_EQ('#', buffer.back()) << "wrote past the terminating zero";
  if (*length < static_cast<int32_t>(input.size())) {
    EXPECT_EQ('\0', buffer[*length]) << "shorter text without a terminating zero";
  }
  return buffer.substr(0, static_cast<size_t>(*length));
}

TEST(Kanjimap, DetectsAndConvertsToShiftJis) {
  const Case cases[] = {
      {"ASCII stays", "Server down at 10:00", "Server down at 10:00"},
      {"valid Shift-JIS stays", "\x82\xa0\x82\xa2 \x93\xfa\x96\x7b",
       "\x82\xa0\x82\xa2 \x93\xfa\x96\x7b"},
      {"half-width katakana in Shift-JIS stays", "\xb1\xb2\xb3", "\xb1\xb2\xb3"},
      {"ISO-2022-JP", "\x1b$B\x30\x21\x1b(B", "\x88\x9f"},
      {"ISO-2022-JP with text around and ESC $ @", "a\x1b$@\x30\x21\x1b(Jb",
       "a\x88\x9f"
       "b"},
      {"ISO-2022-JP, ESC & @ ESC $ B", "\x1b&@\x1b$B\x46\x7c\x4b\x5c\x1b(B!", "\x93\xfa\x96\x7b!"},
      {"ISO-2022-JP half-width katakana are mapped", "\x1b(I\x31\x32\x1b(Bx", "\xb1\xb2x"},
      {"ISO-2022-JP line end inside double-byte mode", "\x1b$B\x30\x21\r\n\x30\x21",
       "\x88\x9f\r\n\x88\x9f"},
      {"ISO-2022-JP unknown escape dropped", "a\x1b%Gb", "aGb"},
      {"EUC-JP pair B0 A1 (text with an EC A1 pair)", "\xb0\xa1\xec\xa1", "\x88\x9f\xe6\x9f"},
      {"EUC-JP half-width katakana", "\xec\xa1\x8e\xb1z", "\xe6\x9f\xb1z"},
      {"EUC-JP stops at a zero byte", std::string("\xec\xa1\0\xb0\xa1", 5), "\xe6\x9f"},
      {"UTF-16 with mark FF FE", "\xff\xfe\x42\x30\x44\x30", "\x82\xa0\x82\xa2"},
      {"UTF-16 with mark, character CP932 lacks", std::string("\xff\xfe\x00\x01x\x00", 6), "?x"},
      {"UTF-16 without mark (a control byte after a high byte)", "\x82\x30\x01\x30",
       "\x82\xe0\x81\x41"},
      {"UTF-8 guessed", "\xc4\x80x", "?x"},
      {"UTF-7 guessed", "+MEIwRA-", "\x82\xa0\x82\xa2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    int32_t length = 0;
    EXPECT_EQ(c.output, ConvertCopy(c.input, ConvertToSjis3, &length));
    EXPECT_EQ(static_cast<int32_t>(c.output.size()), length);
  }
}

// Examples whose results are fixed: the documented ones, and texts that must not be
// taken for another encoding.
TEST(Kanjimap, DetectionOfShortTexts) {
  const Case cases[] = {
      {"EUC-JP pair B0 A1 alone", "\xb0\xa1", "\x88\x9f"},
      {"EUC-JP kanji (C6 FC CB DC)", "\xc6\xfc\xcb\xdc", "\x93\xfa\x96\x7b"},
      {"EUC-JP hiragana", "\xa4\xa2\xa4\xa4", "\x82\xa0\x82\xa2"},
      {"UTF-8 katakana with prolonged marks", "\xe3\x82\xb5\xe3\x83\xbc\xe3\x83\x90\xe3\x83\xbc",
       "\x83\x54\x81\x5b\x83\x6f\x81\x5b"},
      {"UTF-8 with byte-order mark", "\xef\xbb\xbf\xe3\x81\x82", "\x82\xa0"},
      {"Shift-JIS half-width katakana with voiced marks", "\xc0\xde\xb3\xdd", "\xc0\xde\xb3\xdd"},
      {"Shift-JIS kanji that look like UTF-16 kanji", "\x93\xfa\x96\x7b\x8c\xea",
       "\x93\xfa\x96\x7b\x8c\xea"},
      {"UTF-16 big-endian with mark", std::string("\xfe\xff\x30\x42\x00\x41", 6),
       "\x82\xa0"
       "A"},
      {"UTF-16 little-endian ASCII without mark", std::string("d\0o\0w\0n\0", 8), "down"},
      {"a terminator counted in the length", std::string("abc\0", 4), std::string("abc\0", 4)},
      {"UTF-16 with an odd terminator byte", std::string("A\0\x42\x30\0", 5), "A\x82\xa0"},
      {"ASCII framed by + and - is no UTF-7", "+1 day-", "+1 day-"},
      {"ASCII with a plus sign", "a + b = c", "a + b = c"},
      {"ASCII of digits", "00000000", "00000000"},
      {"ASCII that reads as kana in UTF-16", "B0D0F0", "B0D0F0"},
      {"UTF-7 run ended by a blank", "+MEIwRA down", "\x82\xa0\x82\xa2 down"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    int32_t length = 0;
    EXPECT_EQ(c.output, ConvertCopy(c.input, ConvertToSjis3, &length));
    EXPECT_EQ(static_cast<int32_t>(c.output.size()), length);
  }
}

// The corpus: Japanese sentences in Shift-JIS, EUC-JP, UTF-8 (with and without mark),
// ISO-2022-JP, UTF-16 in both byte orders (with and without mark) and UTF-7. Each file
// "<name>.<encoding>" converts to exactly "<name>.sjis", which itself stays as it is.
TEST(Kanjimap, CorpusConvertsToShiftJis) {
  const std::string dir = std::string(VARN_SOURCE_DIR) + "/tests/kanjimap/corpus";
  int converted = 0;
  for (const std::string& file : platform::ListFiles(dir)) {
    const size_t dot = file.rfind('.');
    const std::string encoding = file.substr(dot + 1);
    if (encoding == "py" || file == "README" || file[0] == '.') continue;
    SCOPED_TRACE(file);
    const std::string expected = testsupport::ReadFile(dir + "/" + file.substr(0, dot) + ".sjis");
    const std::string input = testsupport::ReadFile(dir + "/" + file);
    ASSERT_FALSE(expected.empty());
    int32_t length = 0;
    EXPECT_EQ(expected, ConvertCopy(input, ConvertToSjis3, &length));
    ++converted;
  }
  EXPECT_EQ(converted, 9 * 10);
}

// Received mail as the e-mail agent reads it: a block of ASCII headers, then a Japanese
// body in one of the encodings mail comes in. The headers' weight must not hide the body's
// encoding: every such mail converts to the headers and the Shift-JIS body.
TEST(Kanjimap, ReceivedMailsInTheMailEncodings) {
  const std::string dir = std::string(VARN_SOURCE_DIR) + "/tests/kanjimap/corpus";
  const std::string headers =
      "Return-Path: <monitor@test.local>\r\nReceived: from host (127.0.0.1) by test.local\r\n"
      "Message-ID: <1209045530123.0.4950575448.127.0.0.1@127.0.0.1>\r\n"
      "Subject: KT.Varnock POP Checking ID: 2026/12/09 04:55:30:123:4711\r\n"
      "MIME-Version: 1.0\r\nContent-Type: text/plain\r\n\r\n";
  int checked = 0;
  for (const char* name : {"text", "mixed", "lines", "level2", "fullwidth", "voiced"}) {
    const std::string sjis = testsupport::ReadFile(dir + "/" + name + ".sjis");
    ASSERT_FALSE(sjis.empty()) << name;
    for (const char* encoding : {"iso2022jp", "sjis", "eucjp", "utf8"}) {
      SCOPED_TRACE(std::string(name) + "." + encoding);
      const std::string body = testsupport::ReadFile(dir + "/" + name + "." + encoding);
      ASSERT_FALSE(body.empty());
      int32_t length = 0;
      EXPECT_EQ(headers + sjis + "\r\n",
                ConvertCopy(headers + body + "\r\n", ConvertToSjis3, &length));
      ++checked;
    }
  }
  EXPECT_EQ(checked, 24);
}

TEST(Kanjimap, GivenEncodings) {
  struct Given {
    const char* what;
    int32_t encoding;
    std::string input;
    std::string output;
  } cases[] = {
      {"UTF-16 without mark", 1, "\x42\x30\x44\x30", "\x82\xa0\x82\xa2"},
      {"UTF-16 with mark", 1, "\xff\xfe\x42\x30", "\x82\xa0"},
      {"UTF-16 with big-endian mark", 1, "\xfe\xff\x30\x42", "\x82\xa0"},
      {"UTF-8", 1014, "\xe3\x81\x82\xe6\x97\xa5", "\x82\xa0\x93\xfa"},
      {"UTF-8 with a broken byte", 1014, "a\xffz", "a?z"},
      {"UTF-7", 1015, "+MEI-", "\x82\xa0"},
      {"detect: ISO-2022-JP", 0, "\x1b$B\x30\x21\x1b(B", "\x88\x9f"},
      {"detect does not guess UTF-7", 1010, "+MEI-", "+MEI-"},
      {"an odd UTF-16 byte alone yields nothing: unchanged", 1, "\x42", "\x42"},
  };
  for (const Given& c : cases) {
    SCOPED_TRACE(c.what);
    std::string buffer = c.input + '\0';
    const int32_t length =
        ConvertToSjis3WithCode(buffer.data(), static_cast<int32_t>(c.input.size()), c.encoding);
    EXPECT_EQ(c.output, buffer.substr(0, static_cast<size_t>(length)));
  }
}

TEST(Kanjimap, NothingToDoForEmptyOrNullTexts) {
  char text[] = "abc";
  EXPECT_EQ(0, ConvertToSjis3(nullptr, 5));
  EXPECT_EQ(0, ConvertToSjis3(text, 0));
  EXPECT_EQ(0, ConvertToSjis3(text, -3));
  EXPECT_EQ(0, ConvertToSjis3WithCode(nullptr, 5, 1014));
  EXPECT_EQ(0, ConvertToSjisVB(nullptr));
  EXPECT_EQ(0, RemoveExtraCR(nullptr, 4));
  EXPECT_STREQ("abc", text);
}

TEST(Kanjimap, ZeroTerminatedTextIsZeroFilledBehind) {
  char text[] = "\x1b$B\x30\x21\x1b(B";
  EXPECT_EQ(2, ConvertToSjisVB(text));
  EXPECT_EQ(std::string("\x88\x9f\0\0\0\0\0\0\0", 9), std::string(text, sizeof text));
}

TEST(Kanjimap, RemovesExtraCarriageReturns) {
  struct CrCase {
    const char* what;
    std::string input;
    int32_t length;
    std::string buffer;  // the whole buffer afterwards: freed bytes become zero
  } cases[] = {
      {"CR LF becomes LF", "a\r\nb", 3, std::string("a\nb\0", 4)},
      {"of two CRs one remains", "a\r\r\nb", 4, std::string("a\r\nb\0", 5)},
      {"three CRs", "\r\r\r", 1, std::string("\r\0\0", 3)},
      {"nothing to remove", "abc", 3, "abc"},
      {"length up to the first zero", std::string("a\0b\r", 4), 1, std::string("a\0b\0", 4)},
  };
  for (const CrCase& c : cases) {
    SCOPED_TRACE(c.what);
    std::string buffer = c.input;
    EXPECT_EQ(c.length, RemoveExtraCR(buffer.data(), static_cast<int32_t>(buffer.size())));
    EXPECT_EQ(c.buffer, buffer);
  }
}

TEST(Kanjimap, ConvertsAFile) {
  testsupport::TempDir tmp;
  testsupport::WriteFile(tmp / "in.txt", "Subject: \x1b$B\x30\x21\x1b(B\r\n");
  testsupport::WriteFile(tmp / "out.txt", "old content that is longer");
  EXPECT_NE(0, ConvertFileToSjis((tmp / "in.txt").c_str(), (tmp / "out.txt").c_str()));
  EXPECT_EQ("Subject: \x88\x9f\r\n", testsupport::ReadFile(tmp / "out.txt"));
  EXPECT_EQ(0, ConvertFileToSjis((tmp / "missing.txt").c_str(), (tmp / "out2.txt").c_str()));
  EXPECT_FALSE(platform::PathExists(tmp / "out2.txt"));
  EXPECT_EQ(0, ConvertFileToSjis(nullptr, (tmp / "out2.txt").c_str()));
}

TEST(Kanjimap, LoadsAndRunsByExportedNames) {
  void* lib = dlopen((std::string(VARN_LIB_DIR) + "/libKANJIMAP.so").c_str(), RTLD_NOW);
  ASSERT_NE(nullptr, lib) << dlerror();
  auto convert = reinterpret_cast<int32_t (*)(char*, int32_t)>(dlsym(lib, "ConvertToSjis3"));
  auto withCode =
      reinterpret_cast<int32_t (*)(char*, int32_t, int32_t)>(dlsym(lib, "ConvertToSjis3WithCode"));
  auto vb = reinterpret_cast<int32_t (*)(char*)>(dlsym(lib, "ConvertToSjisVB"));
  auto file =
      reinterpret_cast<int32_t (*)(const char*, const char*)>(dlsym(lib, "ConvertFileToSjis"));
  auto cr = reinterpret_cast<int32_t (*)(char*, int32_t)>(dlsym(lib, "RemoveExtraCR"));
  ASSERT_TRUE(convert && withCode && vb && file && cr);
  char jis[] = "\x1b$B\x30\x21\x1b(B";
  EXPECT_EQ(2, convert(jis, 8));
  EXPECT_STREQ("\x88\x9f", jis);
  char utf8[] = "\xe3\x81\x82";
  EXPECT_EQ(2, withCode(utf8, 3, 1014));
  EXPECT_STREQ("\x82\xa0", utf8);
  char euc[] = "\xec\xa1";
  EXPECT_EQ(2, vb(euc));
  EXPECT_STREQ("\xe6\x9f", euc);
  char text[] = "a\r\nb";
  EXPECT_EQ(3, cr(text, 4));
  EXPECT_EQ(0, file("/nonexistent/in", "/nonexistent/out"));
  dlclose(lib);
}

}  // namespace
