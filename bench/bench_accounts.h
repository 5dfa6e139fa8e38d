// Program directories for the console's benchmarks: ping accounts written the way the
// dialogs leave them (the record, a status record and the list's index line), without
// re-counting after each one.
#pragma once

#include <cstdio>
#include <string>

#include "common/account_key.h"
#include "common/accounts.h"
#include "common/file_ops.h"
#include "common/layout.h"
#include "common/record_texts.h"
#include "common/status_update.h"
#include "varnindex/VarnIndex.h"

namespace bench {

// The server name "server-NNNNN" of `number` and the address 10.x.y.z of the i-th account.
inline std::string ServerName(int number) {
  char name[40];
  std::snprintf(name, sizeof name, "server-%05d", number);
  return name;
}
inline std::string ServerHost(int i) {
  char host[32];
  std::snprintf(host, sizeof host, "10.%d.%d.%d", i / 65536 % 256, i / 256 % 256, i % 256);
  return host;
}

// Writes `a` as the enabled ping account `name` on `host`, with status record `s`, and adds
// it to the list's index in `index` (common::ListViewDir of `dir`).
inline void WritePingAccount(const std::string& dir, const std::string& index,
                             const std::string& name, const std::string& host,
                             common::AccountFile a, const common::CheckStatus& s) {
  const std::string key = common::HexKey(name);
  common::SetField(a.record.key, key);
  common::SetField(a.record.host, host);
  a.record.pingOn = 1;
  a.record.enabled = 1;
  common::WriteAccount(common::AccountPath(dir, key), a);
  common::WriteWholeFile(common::StatusPath(dir, common::StatusFolder::kPing, key), &s, sizeof s);
  AddDelDat(1, index.c_str(), common::IndexLine(key, common::StatusFolder::kPing, host).c_str());
}

}  // namespace bench
