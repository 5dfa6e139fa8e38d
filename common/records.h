// Fixed-layout records shared by the console and the agents. Every record is
// little-endian, packed, with zero-terminated texts inside fixed fields; each struct
// asserts its size and the offset of every field, so a layout change cannot slip in.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "platform/clock.h"

namespace common {

static_assert(std::endian::native == std::endian::little, "records are stored little-endian");

using platform::SystemTime;

#pragma pack(push, 1)

// An account file in AllData: this fixed part, then the texts it addresses by offsets
// from the start of the record (see AccountFile).
struct AccountRecord {
  char key[65];         // account key (hex of the server name)
  char host[65];        // domain or IP; page host; SMTP server of an e-mail account
  char popServer[65];   // e-mail accounts
  char pagePath[256];   // HTTP page accounts, always starting with "/"
  uint8_t pingOn;       // server accounts
  int16_t pingTimeout;  // seconds; 0 means 1
  uint8_t httpPortOn;
  uint8_t reserved455;
  uint16_t httpTimeout;  // seconds
  uint8_t reserved458[2];
  uint32_t httpPort;  // always 80
  uint8_t isHttpPage;
  uint8_t checkLinks;
  uint8_t ftpPortOn;
  uint8_t reserved467;
  int16_t ftpPortTimeout;
  uint8_t reserved470[2];
  uint32_t ftpPort;  // always 21
  uint8_t isFtpTransfer;
  char localTestFile[260];
  char remoteDir[260];
  char ftpUser[65];
  char ftpPassword[16];
  uint8_t smtpPortOn;
  uint8_t reserved1079;
  int16_t smtpPortTimeout;
  uint8_t reserved1082[2];
  uint32_t smtpPort;  // always 25
  uint8_t popPortOn;
  uint8_t reserved1089;
  int16_t popPortTimeout;
  uint16_t sendReceiveTimeout;  // e-mail accounts, seconds between send and receive
  uint8_t reserved1094[2];
  uint32_t popPort;  // always 110
  uint8_t isEmail;
  char testRecipient[150];
  uint8_t smtpAuth;
  char smtpUser[65];
  char smtpPassword[16];
  char popUser[65];
  char popPassword[16];
  uint8_t customOn;
  uint8_t reserved1415;
  int16_t customTimeout;
  char customNames[5][65];
  uint8_t reserved1743;
  uint32_t customPorts[5];
  uint32_t downSubjectOffset;
  uint32_t upSubjectOffset;
  uint32_t downBodyOffset;
  uint32_t upBodyOffset;
  uint32_t downOnlineOffset;
  uint32_t upOnlineOffset;
  uint8_t useGlobalMailTemplates;
  uint8_t mailToGlobal;
  uint8_t mailToAccount;
  uint8_t reserved1791;
  uint32_t mailAddressesOffset;
  uint8_t useGlobalOnlineTemplates;
  uint8_t onlineToGlobal;
  uint8_t onlineToAccount;
  uint8_t reserved1799;
  uint32_t netSendOffset;
  uint8_t enabled;  // 1 enabled; agents skip any other value
  uint8_t type;     // AccountType; anything else marks a damaged account
  uint8_t reserved1806[2];
};

enum AccountType : uint8_t { kServer = 0, kHttpPage = 1, kFtpTransfer = 2, kEmail = 3 };

static_assert(sizeof(AccountRecord) == 1808);
static_assert(offsetof(AccountRecord, key) == 0);
static_assert(offsetof(AccountRecord, host) == 65);
static_assert(offsetof(AccountRecord, popServer) == 130);
static_assert(offsetof(AccountRecord, pagePath) == 195);
static_assert(offsetof(AccountRecord, pingOn) == 451);
static_assert(offsetof(AccountRecord, pingTimeout) == 452);
static_assert(offsetof(AccountRecord, httpPortOn) == 454);
static_assert(offsetof(AccountRecord, httpTimeout) == 456);
static_assert(offsetof(AccountRecord, httpPort) == 460);
static_assert(offsetof(AccountRecord, isHttpPage) == 464);
static_assert(offsetof(AccountRecord, checkLinks) == 465);
static_assert(offsetof(AccountRecord, ftpPortOn) == 466);
static_assert(offsetof(AccountRecord, ftpPortTimeout) == 468);
static_assert(offsetof(AccountRecord, ftpPort) == 472);
static_assert(offsetof(AccountRecord, isFtpTransfer) == 476);
static_assert(offsetof(AccountRecord, localTestFile) == 477);
static_assert(offsetof(AccountRecord, remoteDir) == 737);
static_assert(offsetof(AccountRecord, ftpUser) == 997);
static_assert(offsetof(AccountRecord, ftpPassword) == 1062);
static_assert(offsetof(AccountRecord, smtpPortOn) == 1078);
static_assert(offsetof(AccountRecord, smtpPortTimeout) == 1080);
static_assert(offsetof(AccountRecord, smtpPort) == 1084);
static_assert(offsetof(AccountRecord, popPortOn) == 1088);
static_assert(offsetof(AccountRecord, popPortTimeout) == 1090);
static_assert(offsetof(AccountRecord, sendReceiveTimeout) == 1092);
static_assert(offsetof(AccountRecord, popPort) == 1096);
static_assert(offsetof(AccountRecord, isEmail) == 1100);
static_assert(offsetof(AccountRecord, testRecipient) == 1101);
static_assert(offsetof(AccountRecord, smtpAuth) == 1251);
static_assert(offsetof(AccountRecord, smtpUser) == 1252);
static_assert(offsetof(AccountRecord, smtpPassword) == 1317);
static_assert(offsetof(AccountRecord, popUser) == 1333);
static_assert(offsetof(AccountRecord, popPassword) == 1398);
static_assert(offsetof(AccountRecord, customOn) == 1414);
static_assert(offsetof(AccountRecord, customTimeout) == 1416);
static_assert(offsetof(AccountRecord, customNames) == 1418);
static_assert(offsetof(AccountRecord, customPorts) == 1744);
static_assert(offsetof(AccountRecord, downSubjectOffset) == 1764);
static_assert(offsetof(AccountRecord, upSubjectOffset) == 1768);
static_assert(offsetof(AccountRecord, downBodyOffset) == 1772);
static_assert(offsetof(AccountRecord, upBodyOffset) == 1776);
static_assert(offsetof(AccountRecord, downOnlineOffset) == 1780);
static_assert(offsetof(AccountRecord, upOnlineOffset) == 1784);
static_assert(offsetof(AccountRecord, useGlobalMailTemplates) == 1788);
static_assert(offsetof(AccountRecord, mailToGlobal) == 1789);
static_assert(offsetof(AccountRecord, mailToAccount) == 1790);
static_assert(offsetof(AccountRecord, mailAddressesOffset) == 1792);
static_assert(offsetof(AccountRecord, useGlobalOnlineTemplates) == 1796);
static_assert(offsetof(AccountRecord, onlineToGlobal) == 1797);
static_assert(offsetof(AccountRecord, onlineToAccount) == 1798);
static_assert(offsetof(AccountRecord, netSendOffset) == 1800);
static_assert(offsetof(AccountRecord, enabled) == 1804);
static_assert(offsetof(AccountRecord, type) == 1805);

// One check's status file (84 bytes) in its status folder, named by the account key.
struct CheckStatus {
  uint32_t enabled;        // the agent checks the account only when this is 1
  char lastCheck[19];      // time stamp of the last check started
  uint8_t checking;        // 1 while an agent checks the account
  char errorDetected[19];  // when the Down alert of this outage was raised; empty while up
  int8_t failCount;        // consecutive failed checks
  char lastFailure[20];    // time stamp of the last failed check; empty while up
  uint32_t downSeconds;    // accumulated down time
  SystemTime statsStart;   // start of the statistics period
};
static_assert(sizeof(CheckStatus) == 84);
static_assert(offsetof(CheckStatus, enabled) == 0);
static_assert(offsetof(CheckStatus, lastCheck) == 4);
static_assert(offsetof(CheckStatus, checking) == 23);
static_assert(offsetof(CheckStatus, errorDetected) == 24);
static_assert(offsetof(CheckStatus, failCount) == 43);
static_assert(offsetof(CheckStatus, lastFailure) == 44);
static_assert(offsetof(CheckStatus, downSeconds) == 64);
static_assert(offsetof(CheckStatus, statsStart) == 68);

// The custom port status file in CustData: one status block and one name per slot.
struct CustomStatus {
  CheckStatus slots[5];
  char names[5][65];
  uint8_t reserved[3];
};
static_assert(sizeof(CustomStatus) == 748);
static_assert(offsetof(CustomStatus, slots) == 0);
static_assert(offsetof(CustomStatus, names) == 420);
static_assert(offsetof(CustomStatus, reserved) == 745);

// Setting/Alert.dat: this fixed part, then the texts it addresses (see AlertFile).
struct AlertSettings {
  char primaryServer[150];
  uint8_t reserved150;
  uint8_t soundAlarm;  // 1 sounds the local alarm
  uint8_t playWave;    // 1 plays the wave file, 0 beeps
  char alternateServer[150];
  char fromAddress[150];
  uint8_t reserved453[3];
  uint32_t toOffset;  // always 1008
  uint32_t netSendOffset;
  uint32_t downSubjectOffset;
  uint32_t upSubjectOffset;
  uint32_t downBodyOffset;
  uint32_t upBodyOffset;
  uint32_t downOnlineOffset;
  uint32_t upOnlineOffset;
  char waveFile[260];  // relative to the Wave folder
  char reserved748[260];
};
static_assert(sizeof(AlertSettings) == 1008);
static_assert(offsetof(AlertSettings, primaryServer) == 0);
static_assert(offsetof(AlertSettings, soundAlarm) == 151);
static_assert(offsetof(AlertSettings, playWave) == 152);
static_assert(offsetof(AlertSettings, alternateServer) == 153);
static_assert(offsetof(AlertSettings, fromAddress) == 303);
static_assert(offsetof(AlertSettings, toOffset) == 456);
static_assert(offsetof(AlertSettings, netSendOffset) == 460);
static_assert(offsetof(AlertSettings, downSubjectOffset) == 464);
static_assert(offsetof(AlertSettings, upSubjectOffset) == 468);
static_assert(offsetof(AlertSettings, downBodyOffset) == 472);
static_assert(offsetof(AlertSettings, upBodyOffset) == 476);
static_assert(offsetof(AlertSettings, downOnlineOffset) == 480);
static_assert(offsetof(AlertSettings, upOnlineOffset) == 484);
static_assert(offsetof(AlertSettings, waveFile) == 488);
static_assert(offsetof(AlertSettings, reserved748) == 748);

// Setting/Alert2.dat: SMTP authentication of the two alert mail servers.
struct AlertAuth {
  uint8_t primaryAuth;
  char primaryUser[65];
  char primaryPassword[16];
  uint8_t alternateAuth;
  char alternateUser[65];
  char alternatePassword[16];
};
static_assert(sizeof(AlertAuth) == 164);
static_assert(offsetof(AlertAuth, primaryUser) == 1);
static_assert(offsetof(AlertAuth, primaryPassword) == 66);
static_assert(offsetof(AlertAuth, alternateAuth) == 82);
static_assert(offsetof(AlertAuth, alternateUser) == 83);
static_assert(offsetof(AlertAuth, alternatePassword) == 148);

// Scan groups, always in this order.
enum ScanGroup : int { kGroupPing = 0, kGroupHttp, kGroupEmail, kGroupFtp, kGroupPort };
constexpr int kGroupCount = 5;

// Setting/Scan.dat.
struct ScanSettings {
  uint16_t intervals[5];  // minutes per group; 0 never due
  uint8_t logOn[5];       // by log family: ping, http, e-mail, ftp, custom
  uint8_t logAll[5];      // 1 every result, 0 errors only
  uint16_t keepLogDays;
};
static_assert(sizeof(ScanSettings) == 22);
static_assert(offsetof(ScanSettings, intervals) == 0);
static_assert(offsetof(ScanSettings, logOn) == 10);
static_assert(offsetof(ScanSettings, logAll) == 15);
static_assert(offsetof(ScanSettings, keepLogDays) == 20);

// Setting/Schedule.dat: non-zero when the group takes part in scans.
struct ScanSchedule {
  uint32_t groupOn[5];
};
static_assert(sizeof(ScanSchedule) == 20);

// Scan state files, written by the agents, read by the console: 32-bit fields, the busy
// flags first and the down flag last. Their names are in common/scan_groups.h.
struct PingScanState {  // pingPara.dat
  uint32_t busy;
  uint32_t down;
};
static_assert(sizeof(PingScanState) == 8);
static_assert(offsetof(PingScanState, down) == 4);

struct PortScanState {  // portHTTPPara.dat ... portCUSTPara.dat, httpPara.dat
  uint32_t busy;
  uint32_t progress[3];  // kept as read; the page agent's check updates them
  uint32_t down;
};
static_assert(sizeof(PortScanState) == 20);
static_assert(offsetof(PortScanState, down) == 16);

struct FtpScanState {  // ftpPara.dat: busy when any of the three busy flags is 1
  uint32_t busy[3];
  uint32_t progress[3];
  uint32_t down;
};
static_assert(sizeof(FtpScanState) == 28);
static_assert(offsetof(FtpScanState, down) == 24);

struct EmailScanState {  // emailPara.dat<n>: busy when either busy flag is 1
  uint32_t busy[2];
  uint32_t progress[3];
  uint32_t down;
};
static_assert(sizeof(EmailScanState) == 24);
static_assert(offsetof(EmailScanState, down) == 20);

#pragma pack(pop)

}  // namespace common
