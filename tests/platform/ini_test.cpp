#include "platform/ini.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"

using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

TEST(Ini, MissingFileSectionOrKeyGivesTheDefault) {
  TempDir dir;
  const std::string path = dir / "Varnock.ini";
  EXPECT_EQ(platform::IniGetString(path, "PROGRAM", "LANGUAGE", "US"), "US");
  EXPECT_EQ(platform::IniGetInt(path, "PROGRAM", "LASTLEFT", 7), 7);
  WriteFile(path, "[OTHER]\nLANGUAGE=1\n");
  EXPECT_EQ(platform::IniGetString(path, "PROGRAM", "LANGUAGE", "US"), "US");
}

TEST(Ini, NamesCompareWithoutCaseAndValuesAreTrimmed) {
  TempDir dir;
  const std::string path = dir / "a.ini";
  WriteFile(path, "; comment\r\n[Program]\r\nlanguage = 1 \r\nLASTLEFT=-12px\r\nEMPTY=\r\n");
  EXPECT_EQ(platform::IniGetString(path, "PROGRAM", "LANGUAGE", "0"), "1");
  EXPECT_EQ(platform::IniGetInt(path, "PROGRAM", "LASTLEFT", 0), -12);
  EXPECT_EQ(platform::IniGetString(path, "PROGRAM", "EMPTY", "x"), "");
  EXPECT_EQ(platform::IniGetInt(path, "PROGRAM", "EMPTY", 5), 0);
}

TEST(Ini, SetReplacesOneKeyAndKeepsEveryOtherLine) {
  TempDir dir;
  const std::string path = dir / "a.ini";
  WriteFile(path, "[PROGRAM]\nA=1\nB=2\n\n[MAIL]\nA=9\n");
  ASSERT_TRUE(platform::IniSetString(path, "PROGRAM", "b", "20"));
  ASSERT_TRUE(platform::IniSetString(path, "PROGRAM", "C", "3"));
  ASSERT_TRUE(platform::IniSetString(path, "NEW", "K", "v"));
  EXPECT_EQ(ReadFile(path), "[PROGRAM]\nA=1\nb=20\nC=3\n\n[MAIL]\nA=9\n\n[NEW]\nK=v\n");
  EXPECT_EQ(platform::IniGetString(path, "MAIL", "A", ""), "9");
}

TEST(Ini, SetCreatesTheFileAndItsFolder) {
  TempDir dir;
  const std::string path = dir / "sub/dir/x.ini";
  ASSERT_TRUE(platform::IniSetString(path, "PROGRAM", "LANGUAGE", "0"));
  EXPECT_EQ(ReadFile(path), "[PROGRAM]\nLANGUAGE=0\n");
}
