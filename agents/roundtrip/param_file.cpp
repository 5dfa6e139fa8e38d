#include "agents/roundtrip/param_file.h"

#include <cstring>

#include "platform/files.h"

namespace roundtrip {
namespace {

template <size_t N>
void Put(char (&field)[N], const std::string& text) {
  const size_t n = text.size() < N - 1 ? text.size() : N - 1;
  std::memcpy(field, text.data(), n);
}

int32_t LittleEndian32(const char* p) {
  const auto* u = reinterpret_cast<const unsigned char*>(p);
  return static_cast<int32_t>(u[0] | u[1] << 8 | u[2] << 16 | static_cast<uint32_t>(u[3]) << 24);
}

void PutLittleEndian32(char* p, int32_t v) {
  const auto u = static_cast<uint32_t>(v);
  for (int i = 0; i < 4; ++i) p[i] = static_cast<char>(u >> (8 * i));
}

}  // namespace

std::vector<char> EncodeParams(const Params& params) {
  ParamRecord r{};
  Put(r.accountPath, params.accountPath);
  Put(r.statusPath, params.statusPath);
  Put(r.accountFile, params.accountFile);
  Put(r.logDir, params.logDir);
  Put(r.baseDir, params.baseDir);
  Put(r.statePath, params.statePath);
  Put(r.mailboxDir, params.mailboxDir);
  Put(r.mailLogDir, params.mailLogDir);
  std::vector<char> out(sizeof r);
  std::memcpy(out.data(), &r, sizeof r);
  PutLittleEndian32(out.data() + offsetof(ParamRecord, firstRun), params.firstRun ? 1 : 0);
  PutLittleEndian32(out.data() + offsetof(ParamRecord, fullRun), params.fullRun ? 1 : 0);
  return out;
}

Params DecodeParams(const char* data, size_t size) {
  Params p;
  auto number = [&](size_t offset) -> int32_t {
    return offset + 4 <= size ? LittleEndian32(data + offset) : 0;
  };
  auto text = [&](size_t offset, size_t length) -> std::string {
    if (offset + length > size) return "";
    return std::string(data + offset, strnlen(data + offset, length));
  };
  p.firstRun = number(offsetof(ParamRecord, firstRun)) == 1;
  p.fullRun = number(offsetof(ParamRecord, fullRun)) != 0;
  p.accountPath = text(offsetof(ParamRecord, accountPath), 260);
  p.statusPath = text(offsetof(ParamRecord, statusPath), 260);
  p.accountFile = text(offsetof(ParamRecord, accountFile), 150);
  p.logDir = text(offsetof(ParamRecord, logDir), 260);
  p.baseDir = text(offsetof(ParamRecord, baseDir), 260);
  p.statePath = text(offsetof(ParamRecord, statePath), 260);
  p.mailboxDir = text(offsetof(ParamRecord, mailboxDir), 260);
  p.mailLogDir = text(offsetof(ParamRecord, mailLogDir), 260);
  return p;
}

Params ReadParamFile(const std::string& path) {
  std::vector<char> bytes(sizeof(ParamRecord));
  const long n = platform::ReadPrefix(path, bytes.data(), bytes.size());
  if (n <= 0) return Params{};
  return DecodeParams(bytes.data(), static_cast<size_t>(n));
}

}  // namespace roundtrip
