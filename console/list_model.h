// The account list: rows read at the moment they are shown from the record store of the
// current sort column and the accounts' status files; the sort index stores and their lazy
// rebuild; the enable boxes.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/records.h"
#include "console/alert_marks.h"
#include "console/status_cells.h"
#include "platform/clock.h"

namespace console {

constexpr int kMaxListRows = 30000;

// Store folder of each column (column 2 uses the main list index itself) and the ini key
// of its build time ("" for column 2).
const char* StoreDirOf(int column);
const char* BuildKeyOf(int column);

// The three fields of a main list index record, whichever store it came from.
struct ListRecord {
  std::string nameField;  // key, or key(service) for a custom port row
  std::string dataDir;    // the status folder's one spelling ("" when unknown)
  std::string domain;
};
// Splits a store record of `column` at its "\t\t" separators.
std::optional<ListRecord> ParseStoreRecord(int column, const std::string& record);

// The status of one row as read from disk.
struct RowStatus {
  common::CheckStatus status{};
  std::string service;  // custom rows: the service name as stored in the status file
  int customSlot = -1;  // custom rows: the slot of the service
};
// Reads the row's account record (must exist and be non-empty) and status record. With
// `folderLocked` the caller holds the status folder's lock (common::StatusFoldersShared).
std::optional<RowStatus> ReadRowStatus(const std::string& programDir, const ListRecord& rec,
                                       bool folderLocked = false);

struct ListRow {
  bool valid = false;  // false: a blank row (unreadable files)
  bool enabled = false;
  Lamp lamp = Lamp::kGreen;
  std::string name, domain, service, lastCheck, errorDetected, duration;  // CP932 texts
  // The full time stamps behind the two time cells (14 digits, or empty), for hover texts.
  std::string lastCheckStamp, errorDetectedStamp;
  std::string nameField;
  AlertMark alertMark;
};

// The sort key of `column` for a row (the record added to the column's store).
std::string SortKeyOf(int column, const ListRecord& rec, const RowStatus& st,
                      const platform::SystemTime& now, const platform::SystemTime& consoleStart);

// A header click whose index has to be rebuilt first: its column and its place among the
// clicks (only the newest click's order is ever shown).
struct SortRequest {
  bool rebuild = false;
  int column = 2;
  uint64_t ticket = 0;
  explicit operator bool() const { return rebuild; }
};

// A rebuilt sort index: written (`ok`) or not (superseded, or the store refused it), with the
// local time its build started at ("YYYYMMDDhhmm"), which becomes the index's build time.
struct BuiltIndex {
  bool ok = false;
  int records = 0;
  std::string stamp;
};

class ListModel {
 public:
  ListModel(std::string programDir, platform::SystemTime consoleStart);

  // Creates the eight store folders.
  void MakeStores() const;

  int RowCount() const;
  // Row i as shown now (descending order of the current sort column applied).
  ListRow Row(int index, const platform::SystemTime& now) const;
  // The record behind row i, if any.
  std::optional<ListRecord> RecordAt(int index) const;

  int sortColumn() const { return sortColumn_; }
  bool descending(int column) const { return descending_[column] != 0; }
  // A header click on `column`: makes it the sort column and flips its direction, at once
  // when its index is current; otherwise the rows keep their order until SortBuilt applies
  // the rebuilt index (the returned request says so).
  SortRequest RequestSort(int column);
  // Rebuilds the store of `column` from the main index, in any thread: it reads only files.
  // Gives up without writing when `superseded` turns true on the way.
  BuiltIndex BuildIndex(int column, const std::function<bool()>& superseded = nullptr) const;
  // On the model's thread, after BuildIndex for `request`: records the build time of a
  // written index and, when no click came since, shows the new order. True when shown.
  bool SortBuilt(const SortRequest& request, const BuiltIndex& built);
  // RequestSort with the rebuild done on the spot. True when it was rebuilt.
  bool SortBy(int column);
  // Back to the server order after an account was added.
  void ResetSort();
  // Whether the index of `column` is older than the last account change.
  bool IndexStale(int column) const;
  // Rebuilds the store of `column` from the main index and writes its build time; the
  // number of records in the index.
  int RebuildIndex(int column);

  // Click in the enable box of row i. True when the status record was changed.
  bool ToggleEnable(int index);
  // Enable All (true) / Disable All (false). Returns the number of records changed.
  int SetAllEnabled(bool enable);

 private:
  std::optional<ListRecord> StoreRecord(int column, int position) const;
  // Writes the build-time key of `column`, retried up to 10 times 10 ms apart.
  void WriteBuildTime(int column, const std::string& stamp) const;

  std::string dir_;
  platform::SystemTime consoleStart_;
  int sortColumn_ = 2;
  int lastClicked_ = 2;
  std::array<uint32_t, 8> descending_{};  // as shown
  std::array<uint32_t, 8> clicked_{};     // after every click so far, shown or not
  uint64_t ticket_ = 0;
};

}  // namespace console
