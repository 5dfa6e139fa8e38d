// The e-mail group's launch: the console starts this program with "<dir> n" like every
// other agent; it writes one parameter file per e-mail account and starts itself once per
// account with that file's path, so each account's round trip runs on its own and the
// console's poll of the numbered state files "emailPara.dat<i>" sees each run. At most
// SCANPARALLEL runs go on at a time; the launch ends when the last one has.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace roundtrip {

// Runs `program` with `args` to its end; true when it started.
using Runner =
    std::function<bool(const std::string& program, const std::vector<std::string>& args)>;

// The folder whose per-account subfolders receive the fetched mail ("<dir>/Mailbox"); mail
// that is not a test message of the run ends up in it.
std::string MailboxDir(const std::string& programDir);

// A full run (n not 0) starts every account of EmailData, with the first-run flag when
// EmailData/first.dat was there (it is removed), and starts the retry file afresh. A
// re-check run (n = 0) takes the retry file and starts the accounts listed in it. An
// account whose own run is still going on (from an earlier launch) is not started: the
// daily log gets "[Skipped]" "Email Scan Process Skipped: <account file>" for it, and the
// other accounts are started all the same. Account i of the folder listing gets the state
// file "emailPara.dat<i>". A parameter file that cannot be written or a run that cannot be
// started is said in the daily log. Returns the number of runs started.
int LaunchAccounts(const std::string& programDir, long n, const std::string& self, size_t parallel,
                   const Runner& run);

}  // namespace roundtrip
