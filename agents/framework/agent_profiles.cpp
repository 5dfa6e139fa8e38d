#include "agents/framework/agent_profiles.h"

#include "common/records.h"

namespace agents {

using common::StatusFolder;

const AgentProfile kEchoProfile = {"EchoSentry",
                                   "PING Scan Process Skipped.",
                                   StatusFolder::kPing,
                                   common::kPingState,
                                   8,
                                   4,
                                   "pingscan.err",
                                   "PING",
                                   "PING",
                                   common::kGroupPing,
                                   false};

const AgentProfile kWebPortProfile = {"WebPortSentry",
                                      "HTTP Port Scan Process Skipped.",
                                      StatusFolder::kHttpPort,
                                      "portHTTPPara.dat",
                                      20,
                                      16,
                                      "httpportscan.err",
                                      "HTTP",
                                      "HTTP Port",
                                      common::kGroupHttp,
                                      true};

const AgentProfile kMailOutProfile = {"MailOutSentry",
                                      "SMTP Port Scan Process Skipped.",
                                      StatusFolder::kSmtpPort,
                                      "portSMTPPara.dat",
                                      20,
                                      16,
                                      "smtpportscan.err",
                                      "SMTP",
                                      "SMTP Port",
                                      common::kGroupEmail,
                                      true};

const AgentProfile kMailInProfile = {"MailInSentry",
                                     "POP Port Scan Process Skipped.",
                                     StatusFolder::kPopPort,
                                     "portPOPPara.dat",
                                     20,
                                     16,
                                     "popportscan.err",
                                     "POP",
                                     "POP Port",
                                     common::kGroupEmail,
                                     true};

const AgentProfile kFilePortProfile = {"FilePortSentry",
                                       "FTP Scan Process Skipped.",
                                       StatusFolder::kFtpPort,
                                       "portFTPPara.dat",
                                       20,
                                       16,
                                       "ftpportscan.err",
                                       "FTP",
                                       "FTP Port",
                                       common::kGroupFtp,
                                       true};

// The type word of a custom port is its service name, set per slot.
const AgentProfile kAnyPortProfile = {"AnyPortSentry",
                                      "Custom Scan Process Skipped.",
                                      StatusFolder::kCustom,
                                      "portCUSTPara.dat",
                                      20,
                                      16,
                                      "custportscan.err",
                                      "",
                                      "Custom",
                                      common::kGroupPort,
                                      false,
                                      "[Up Mail Sent: Custom]"};

const AgentProfile kPageProfile = {"PageSentry",
                                   "HTTP Page Scan Process Skipped.",
                                   StatusFolder::kHttpPage,
                                   common::kHttpPageState,
                                   20,
                                   16,
                                   "httpscan.err",
                                   "HTTP",
                                   "HTTP Page",
                                   common::kGroupHttp,
                                   true};

// Three busy words: upload, download, delete.
const AgentProfile kXferProfile = {"XferSentry",
                                   "FTP Send/Rec Scan Process Skipped.",
                                   StatusFolder::kFtpTransfer,
                                   common::kFtpState,
                                   28,
                                   24,
                                   "ftpscan.err",
                                   "FTP Transfer",
                                   "FTP Send/Rec",
                                   common::kGroupFtp,
                                   true,
                                   "",
                                   3};

}  // namespace agents
