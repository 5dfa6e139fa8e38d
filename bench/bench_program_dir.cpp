// Makes a program directory for the side-by-side benchmarks (bench/peers.sh): one account
// per line of a target list, checked by one agent, logging every result.
//
// Usage: bench_program_dir DIR ping|port|page TARGETS [TIMEOUT_S] [SCANPARALLEL]
// TARGETS holds one "host [port [path]]" per line. SCANPARALLEL is written to the
// settings file when given.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "common/account_key.h"
#include "common/file_ops.h"
#include "common/layout.h"
#include "common/record_texts.h"
#include "common/status_update.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/ini.h"

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s DIR ping|port|page TARGETS [TIMEOUT_S] [SCANPARALLEL]\n",
                 argv[0]);
    return 2;
  }
  const std::string dir = argv[1], kind = argv[2];
  const int timeout = argc > 4 ? std::atoi(argv[4]) : 1;
  common::StatusFolder folder;
  int group;
  if (kind == "ping") {
    folder = common::StatusFolder::kPing, group = common::kGroupPing;
  } else if (kind == "port") {
    folder = common::StatusFolder::kHttpPort, group = common::kGroupHttp;
  } else if (kind == "page") {
    folder = common::StatusFolder::kHttpPage, group = common::kGroupHttp;
  } else {
    std::fprintf(stderr, "unknown kind %s\n", kind.c_str());
    return 2;
  }
  platform::MakeDirs(dir);
  common::ScanSettings scan = common::ReadScanSettings(dir);
  scan.logOn[group] = 1;
  scan.logAll[group] = 1;
  common::WriteScanSettings(dir, scan);
  if (argc > 5) platform::IniSetString(common::IniPath(dir), "PROGRAM", "SCANPARALLEL", argv[5]);

  std::ifstream targets(argv[3]);
  std::string line;
  int n = 0;
  while (std::getline(targets, line)) {
    std::istringstream fields(line);
    std::string host, path = "/";
    long port = 80;
    if (!(fields >> host)) continue;
    fields >> port >> path;
    common::AccountFile a;
    const std::string key = common::HexKey("bench" + std::to_string(n++));
    common::SetField(a.record.key, key);
    common::SetField(a.record.host, host);
    common::SetField(a.record.pagePath, path);
    a.record.enabled = 1;
    a.record.type = common::kServer;
    a.record.pingOn = 1;
    a.record.pingTimeout = static_cast<uint16_t>(timeout);
    a.record.httpPortOn = 1;
    a.record.httpTimeout = static_cast<uint16_t>(timeout);
    a.record.httpPort = static_cast<uint32_t>(port);
    if (!common::WriteAccount(common::AccountPath(dir, key), a)) {
      std::fprintf(stderr, "cannot write the account %s\n", key.c_str());
      return 1;
    }
    common::CheckStatus s = common::NewCheckStatus(platform::LocalNow());
    if (common::WriteWholeFile(common::StatusPath(dir, folder, key), &s, sizeof s) != 1) {
      std::fprintf(stderr, "cannot write the status record of %s\n", key.c_str());
      return 1;
    }
  }
  std::printf("%d accounts\n", n);
  return 0;
}
