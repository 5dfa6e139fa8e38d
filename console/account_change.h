// One change of the account set (an account's record, its status files and its list rows)
// as a single step that a crash leaves done or not done. Before the first file of a change
// is touched, an intent names it in "<dir>/temp/accountchange.dat", written whole to disk;
// the intent goes when the change is complete. An intent still there (the process died, or
// a status folder's lock gave up half-way) is finished by the next change of the account
// set and at every start, before the console or a command-line import or export uses the
// accounts. All of this runs under the account store's lock.
#pragma once

#include <cstdint>
#include <string>

#include "common/status_update.h"

namespace console {

// "register KEY": the account of KEY is added or replaced (record first, then its checks);
// finishing makes the account agree with its record, or removes what it left when no
// record was written. "remove KEY": the account goes; finishing removes what is left.
// "rename OLD NEW": NEW is registered, then OLD removed; finishing completes the rename when
// NEW's record was written, else undoes it.
enum class ChangeKind { kRegister, kRemove, kRename };

// The intent file of a program directory.
std::string AccountChangePath(const std::string& programDir);

// Finishes the change an earlier run left unfinished, if any, and logs what it did. True
// when no change is pending afterwards (false: a lock gave up again, or the intent could
// not be removed).
bool FinishAccountChange(const std::string& programDir);

// A change in progress. Begin finishes an earlier change and writes the intent; the caller
// then makes the change and calls End. A change left without End (it stopped early, as a
// failed write makes it do) is finished at once from what it wrote.
class AccountChange {
 public:
  AccountChange() = default;
  ~AccountChange();
  AccountChange(const AccountChange&) = delete;
  AccountChange& operator=(const AccountChange&) = delete;

  // False when the change must not start: an earlier one could not be finished, or the
  // intent could not be written.
  bool Begin(const std::string& programDir, ChangeKind kind, const std::string& key,
             const std::string& newKey = "");
  // The change is complete: the intent goes, unless a status lock gave up meanwhile (then
  // part of it may be missing, and it stays for the next change or start to finish).
  void End();

 private:
  std::string dir_;
  common::LockWaitWatch watch_;  // the locks taken from Begin on
  bool open_ = false;
};

}  // namespace console
