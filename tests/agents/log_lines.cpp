#include "log_lines.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>

namespace testkit {

std::vector<std::string> LogLines(const std::string& log) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = log.find("\r\n", start)) != std::string::npos; start = end + 2) {
    lines.push_back(log.substr(start, end - start));
  }
  return lines;
}

std::vector<std::string> AccountLines(const std::string& log) {
  std::vector<std::string> out;
  for (const std::string& line : LogLines(log)) {
    if (line.rfind("1000", 0) != 0 && line.rfind("1001", 0) != 0) out.push_back(line);
  }
  return out;
}

void ExpectLogLine(const std::string& line, const std::string& code, const std::string& name,
                   const std::string& text) {
  ASSERT_GE(line.size(), 92u) << line;
  const std::string head = line.substr(0, 27);
  const std::string shape = "##### ####/##/##  ##:####  ";
  for (size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] == '#') continue;
    ASSERT_EQ(head[i], shape[i]) << line;
  }
  EXPECT_EQ(head.substr(0, 5), code) << line;
  EXPECT_LT(std::stoi(head.substr(18, 2)), 12) << line;
  EXPECT_TRUE(head.substr(23, 2) == "am" || head.substr(23, 2) == "pm") << line;
  std::string field = name.substr(0, 65);
  field.resize(65, ' ');
  EXPECT_EQ(line.substr(27, 65), field) << line;
  const std::string got = line.substr(92);
  const std::string want = " " + text;
  const size_t hash = want.find('#');
  if (hash == std::string::npos) {
    EXPECT_EQ(got, want) << line;
    return;
  }
  size_t digits = hash;
  while (digits < got.size() && std::isdigit(static_cast<unsigned char>(got[digits]))) ++digits;
  EXPECT_GT(digits, hash) << line;
  EXPECT_LE(digits - hash, 2u) << "a run on loopback takes seconds, not minutes: " << line;
  EXPECT_EQ(got.substr(0, hash), want.substr(0, hash)) << line;
  EXPECT_EQ(got.substr(digits), want.substr(hash + 1)) << line;
}

uint32_t WordAt(const std::string& image, size_t offset) {
  uint32_t v = 0;
  if (image.size() >= offset + 4) std::memcpy(&v, image.data() + offset, 4);
  return v;
}

}  // namespace testkit
