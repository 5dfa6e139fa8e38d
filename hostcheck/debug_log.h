// The optional step log of a web transfer (used by SendMessageToWeb). Each call of the
// exported operation writes a header block before its first line; level 0 writes nothing,
// level 1 only error lines (each followed by an empty line), level 2 and above every line.
#pragma once

#include <cstdint>
#include <string_view>

namespace hostcheck {

class DebugLog {
 public:
  // `fd` is an open descriptor the caller owns (appended to); -1 logs nothing.
  DebugLog(int fd, int32_t level) : fd_(fd), level_(level) {}

  void Step(std::string_view text) { Write(text, false); }
  void Error(std::string_view text) { Write(text, true); }

 private:
  void Write(std::string_view text, bool isError);
  void WriteHeader();

  int fd_;
  int32_t level_;
  bool headerWritten_ = false;
};

}  // namespace hostcheck
