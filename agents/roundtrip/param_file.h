// The parameter file of one e-mail account's run: written by the launcher, read and
// deleted by the account's run. It names files and folders only; the passwords stay in
// the account record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace roundtrip {

#pragma pack(push, 1)
struct ParamRecord {
  int32_t unused0;        // 0: the waiting time comes from the account record
  int32_t firstRun;       // 4: 1 = the first-run reset applies
  int32_t fullRun;        // 8: not 0 = full run, 0 = re-check run
  char accountPath[260];  // 12
  char statusPath[260];   // 272
  char accountFile[150];  // 532: used in the run guard's name and the skipped text
  char logDir[260];       // 682
  char baseDir[260];      // 942
  char statePath[260];    // 1202: the numbered scan state file
  char unused1462[260];   // 1462
  char mailboxDir[260];   // 1722
  char unused1982[260];   // 1982
  char mailLogDir[260];   // 2242: RelayKitLog
};
#pragma pack(pop)
static_assert(sizeof(ParamRecord) == 2502);
static_assert(offsetof(ParamRecord, firstRun) == 4);
static_assert(offsetof(ParamRecord, fullRun) == 8);
static_assert(offsetof(ParamRecord, accountPath) == 12);
static_assert(offsetof(ParamRecord, statusPath) == 272);
static_assert(offsetof(ParamRecord, accountFile) == 532);
static_assert(offsetof(ParamRecord, logDir) == 682);
static_assert(offsetof(ParamRecord, baseDir) == 942);
static_assert(offsetof(ParamRecord, statePath) == 1202);
static_assert(offsetof(ParamRecord, mailboxDir) == 1722);
static_assert(offsetof(ParamRecord, mailLogDir) == 2242);

struct Params {
  bool firstRun = false;
  bool fullRun = true;
  std::string accountPath;
  std::string statusPath;
  std::string accountFile;
  std::string logDir;
  std::string baseDir;
  std::string statePath;
  std::string mailboxDir;
  std::string mailLogDir;
};

// The file's bytes (little-endian numbers, texts zero-terminated and cut to their field).
std::vector<char> EncodeParams(const Params& params);

// Reads the fields in order from the bytes there are: a field not read whole is empty (0).
Params DecodeParams(const char* data, size_t size);

// Reads the file at `path` (at most one record).
Params ReadParamFile(const std::string& path);

}  // namespace roundtrip
