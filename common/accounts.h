// Registering and removing the checks of an account: its status files and its lines in the
// list index (the record store in ListView), and the account count.
#pragma once

#include <string>
#include <vector>

#include "common/layout.h"
#include "common/record_texts.h"

namespace common {

// Status file counts per group, as the setup dialog shows them.
struct CheckCounts {
  int ping = 0;
  int port = 0;  // HTTP, FTP, SMTP and POP port plus custom
  int httpPage = 0;
  int ftpTransfer = 0;
  int email = 0;
};

// The list index line of a check: "key\t\tFolder\t\thost"; custom services
// "key(service)\t\tCustData\t\thost".
std::string IndexLine(const std::string& key, StatusFolder folder, const std::string& host);
std::string CustomIndexLine(const std::string& key, const std::string& service,
                            const std::string& host);
std::string ListViewDir(const std::string& programDir);

// For each check in the order ping, HTTP port, FTP port, SMTP port, POP port, custom
// ports, HTTP page, FTP transfer, e-mail: a check that is on gets its status file (created
// when missing) and its index line; a check that is off loses both. Custom services: the
// 748-byte file is read or created and its names refreshed from the record; a slot with a
// name and a port gets an index line, a named slot without a port loses it. Touches only
// the account's own files (CountChecks counts the folders when wanted).
//
// OffChecks::kNoneToRemove is for an account that had no record before (a migration's
// import): its checks that are off have no status file or row, so nothing is removed for
// them, and the list index logs no failed delete per such check.
enum class OffChecks { kRemove, kNoneToRemove };
void RegisterAccountChecks(const std::string& programDir, const AccountRecord& record,
                           OffChecks off = OffChecks::kRemove);

// Counts the status files of every group.
CheckCounts CountChecks(const std::string& programDir);

// Removes every status file and index line of an account whose record is `record`, and
// leaves the record itself.
void RemoveAccountChecks(const std::string& programDir, const std::string& key,
                         const AccountRecord& record);

// Removes an account completely: every status file and index line, then its record.
// False when the record could not be read.
bool RemoveAccount(const std::string& programDir, const std::string& key);

// The accounts: plain files of AllData (at most 30,000 names are listed).
constexpr size_t kMaxAccounts = 30000;
std::vector<std::string> ListAccounts(const std::string& programDir);
int CountAccounts(const std::string& programDir);

// Writes LASTSETTINGUPDATE with the current local time ("%04d%02d%02d%02d%02d"), retrying
// up to 10 times, 10 ms apart.
bool TouchSettingUpdate(const std::string& programDir);

}  // namespace common
