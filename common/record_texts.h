// Records with variable texts: the account record and the alert settings carry a fixed part
// followed by zero-terminated texts that the fixed part addresses by offsets from the start
// of the record. Also the settings files read by everyone, and the scratch text blocks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/account_options.h"
#include "common/records.h"

namespace common {

struct AccountFile {
  AccountRecord record{};
  std::string downSubject, upSubject, downBody, upBody;  // mail templates
  std::string downOnline, upOnline;                      // LAN message templates
  std::string mailAddresses;                             // the account's own recipients
  std::string netSendAddresses;                          // the account's own LAN recipients
  // The side file's options (not part of the record's image). A port of 0 stands for the
  // default that the type, SECURE and TLSMODE give (SettlePorts).
  AccountOptions options;
};

// Lays out the record: fixed part, then the eight texts in the order above, each with its
// zero byte; the offsets in the fixed part are set to match.
std::vector<char> EncodeAccount(const AccountFile& account);
// Reads an image as ReadRecordImage returns it.
AccountFile DecodeAccount(const std::vector<char>& image);
// Reads AllData/<key>. `readWhole` is false when the file is missing or shorter than the
// fixed part (the record then is all zero, hence disabled).
AccountFile ReadAccount(const std::string& path, bool* readWhole = nullptr);
// Writes the record readable and writable by its owner only (it holds passwords).
bool WriteAccount(const std::string& path, const AccountFile& account);

struct AlertFile {
  AlertSettings settings{};
  std::string toAddresses, netSendAddresses;
  std::string downSubject, upSubject, downBody, upBody;
  std::string downOnline, upOnline;
};
std::vector<char> EncodeAlert(const AlertFile& alert);
AlertFile DecodeAlert(const std::vector<char>& image);
// A missing or short Setting/Alert.dat reads as an empty configuration.
AlertFile ReadAlert(const std::string& programDir);
bool WriteAlert(const std::string& programDir, const AlertFile& alert);
// Mail alerts count as configured when either server is set.
bool MailConfigured(const AlertSettings& settings);

// Setting/Alert2.dat, with the user and password of a server whose flag is 0 blanked.
AlertAuth ReadAlertAuth(const std::string& programDir);
bool WriteAlertAuth(const std::string& programDir, const AlertAuth& auth);

// Setting/Scan.dat as the agents read it: a short or missing file reads as all zero.
ScanSettings ReadScanSettings(const std::string& programDir, bool* readOk = nullptr);
bool WriteScanSettings(const std::string& programDir, const ScanSettings& settings);
ScanSchedule ReadSchedule(const std::string& programDir);
bool WriteSchedule(const std::string& programDir, const ScanSchedule& schedule);

// The scratch layout of temp/message.dat and temp/online.dat: u32 total size, then per text
// a u32 length (zero byte included) and the text with its zero byte.
std::vector<char> EncodeTextBlocks(const std::vector<std::string>& texts);
// Nothing usable (wrong total, a block past the end): an empty result.
std::vector<std::string> DecodeTextBlocks(const std::vector<char>& image);

}  // namespace common
