#include "console/list_model.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "common/account_key.h"
#include "common/accounts.h"
#include "common/file_ops.h"
#include "common/layout.h"
#include "common/status_update.h"
#include "console/log_files.h"
#include "platform/files.h"
#include "platform/ini.h"
#include "varnindex/VarnIndex.h"

namespace console {
namespace {

constexpr const char* kStores[8] = {"ListViewEnable", "ListViewStatus",  "ListView",
                                    "ListViewIP",     "ListViewService", "ListViewLast",
                                    "ListViewError",  "ListViewDuration"};
constexpr const char* kBuildKeys[8] = {"LASTENABLESORT",
                                       "LASTSTATUSSORT",
                                       "",
                                       "LASTIPSORT",
                                       "LASTSERVICESORT",
                                       "LASTCHECKSORT",
                                       "LASTERRORDETECTEDSORT",
                                       "LASTDURATIONSORT"};

std::vector<std::string> SplitFields(const std::string& s) {
  std::vector<std::string> out;
  size_t start = 0;
  while (true) {
    size_t sep = s.find("\t\t", start);
    if (sep == std::string::npos) {
      out.push_back(s.substr(start));
      return out;
    }
    out.push_back(s.substr(start, sep - start));
    start = sep + 2;
  }
}

std::string KeyOf(const std::string& nameField) {
  return nameField.substr(0, nameField.find('('));
}

// The service between the last "(" and the final character of a custom row's name field.
std::string ServiceOf(const std::string& nameField) {
  size_t open = nameField.rfind('(');
  if (open == std::string::npos || nameField.size() < open + 2) return "";
  return nameField.substr(open + 1, nameField.size() - open - 2);
}

int FolderIndex(const std::string& canonical) {
  for (size_t i = 0; i < common::kStatusFolderNames.size(); ++i) {
    if (canonical == common::kStatusFolderNames[i]) return static_cast<int>(i);
  }
  return -1;
}

bool IsCustom(const ListRecord& rec) {
  return rec.dataDir == common::FolderName(common::StatusFolder::kCustom);
}

std::string Stamp12() {
  platform::SystemTime t = platform::LocalNow();
  char out[40];
  std::snprintf(out, sizeof out, "%04d%02d%02d%02d%02d", t.year % 10000, t.month % 100, t.day % 100,
                t.hour % 100, t.minute % 100);
  return out;
}

}  // namespace

const char* StoreDirOf(int column) {
  return kStores[column < 0 || column > 7 ? 2 : column];
}
const char* BuildKeyOf(int column) {
  return kBuildKeys[column < 0 || column > 7 ? 2 : column];
}

std::optional<ListRecord> ParseStoreRecord(int column, const std::string& record) {
  if (record.empty()) return std::nullopt;
  std::vector<std::string> f = SplitFields(record);
  ListRecord r;
  if (column == 2 || column < 0 || column > 7) {
    if (f.size() < 3) return std::nullopt;
    r = {f[0], f[1], f[2]};
  } else if (column == 3) {
    if (f.size() < 3) return std::nullopt;
    r = {f[1], f[2], f[0]};
  } else {
    if (f.size() < 4) return std::nullopt;
    r = {f[1], f[2], f[3]};
  }
  // The store keeps its records in lower case; paths need the folder's one spelling.
  r.dataDir = common::CanonicalFolderName(r.dataDir);
  if (r.dataDir.empty() || r.nameField.empty()) return std::nullopt;
  return r;
}

namespace {

bool UsableKey(const std::string& key) {
  return !key.empty() && key.find('/') == std::string::npos && key[0] != '.';
}

// The row's status from its status record, which `read` reads whole (or says it could not).
template <typename Read>
std::optional<RowStatus> StatusOf(const ListRecord& rec, Read read) {
  RowStatus out;
  if (!IsCustom(rec)) {
    if (!read(&out.status, sizeof out.status)) return std::nullopt;
    return out;
  }
  common::CustomStatus custom{};
  if (!read(&custom, sizeof custom)) return std::nullopt;
  const std::string service = ServiceOf(rec.nameField);
  for (int i = 0; i < 5; ++i) {
    std::string name = common::FieldText(custom.names[i]);
    if (!name.empty() && strcasecmp(name.c_str(), service.c_str()) == 0) {
      out.status = custom.slots[i];
      out.service = name;
      out.customSlot = i;
      return out;
    }
  }
  return std::nullopt;
}

// The account folder and the status folders held open for reading many rows: each file is
// then found from its folder, not from the root (the same files, fewer path steps).
class Folders {
 public:
  explicit Folders(const std::string& dir) : dir_(dir) {
    accounts_ = Open(common::InDir(dir, common::kAllData));
    for (size_t f = 0; f < status_.size(); ++f)
      status_[f] = Open(common::InDir(dir, common::kStatusFolderNames[f]));
  }
  ~Folders() {
    if (accounts_ >= 0) ::close(accounts_);
    for (int fd : status_)
      if (fd >= 0) ::close(fd);
  }
  Folders(const Folders&) = delete;
  Folders& operator=(const Folders&) = delete;

  // ReadRowStatus with the folder's lock held by the caller.
  std::optional<RowStatus> Read(const ListRecord& rec) const {
    const int folder = FolderIndex(rec.dataDir);
    if (accounts_ < 0 || folder < 0 || status_[folder] < 0) return ReadRowStatus(dir_, rec, true);
    const std::string key = KeyOf(rec.nameField);
    if (!UsableKey(key)) return std::nullopt;
    struct stat st {};
    if (::fstatat(accounts_, key.c_str(), &st, 0) != 0 || st.st_size <= 0) return std::nullopt;
    bool retry = false;
    std::optional<RowStatus> out = StatusOf(rec, [&](void* buffer, size_t size) {
      const int fd = ::openat(status_[folder], key.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) {
        retry = errno != ENOENT;  // the path read waits out what may pass
        return false;
      }
      size_t got = 0;
      while (got < size) {
        const ssize_t n = ::read(fd, static_cast<char*>(buffer) + got, size - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
      }
      ::close(fd);
      return got == size;
    });
    return retry ? ReadRowStatus(dir_, rec, true) : out;
  }

 private:
  static int Open(const std::string& path) {
    return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  }
  const std::string& dir_;
  int accounts_ = -1;
  std::array<int, common::kStatusFolderNames.size()> status_{};
};

}  // namespace

std::optional<RowStatus> ReadRowStatus(const std::string& dir, const ListRecord& rec,
                                       bool folderLocked) {
  const std::string key = KeyOf(rec.nameField);
  if (!UsableKey(key)) return std::nullopt;
  if (common::FileSizeOf(common::AccountPath(dir, key)) <= 0) return std::nullopt;
  const std::string statusPath = common::InDir(dir, rec.dataDir, key);
  return StatusOf(rec, [&](void* buffer, size_t size) {
    return (folderLocked ? common::ReadFixedFile(statusPath, buffer, size)
                         : common::ReadStatusRecord(statusPath, buffer, size)) == 1;
  });
}

std::string SortKeyOf(int column, const ListRecord& rec, const RowStatus& st,
                      const platform::SystemTime& now, const platform::SystemTime& consoleStart) {
  const std::string tail = rec.nameField + "\t\t" + rec.dataDir + "\t\t" + rec.domain;
  const common::CheckStatus& s = st.status;
  switch (column) {
    case 0:
      return std::to_string(s.enabled != 0 ? 1 : 0) + "\t\t" + tail;
    case 1:
      return std::to_string(StateOrder(s)) + "\t\t" + tail;
    case 3:
      return rec.domain + "\t\t" + rec.nameField + "\t\t" + rec.dataDir;
    case 4:
      return ServiceSortName(rec.dataDir) + "\t\t" + tail;
    case 5:
      return ReversedStampKey(StampText(s.lastCheck, sizeof s.lastCheck)) + "\t\t" + tail;
    case 6:
      return ReversedStampKey(StampText(s.errorDetected, sizeof s.errorDetected)) + "\t\t" + tail;
    case 7: {
      char down[32];
      std::snprintf(down, sizeof down, "%08ld",
                    static_cast<long>(DurationOf(s, now, consoleStart).down));
      return down + ("\t\t" + tail);
    }
    default:
      return tail;
  }
}

ListModel::ListModel(std::string programDir, platform::SystemTime consoleStart)
    : dir_(std::move(programDir)), consoleStart_(consoleStart) {}

void ListModel::MakeStores() const {
  for (const char* store : kStores) platform::MakeDirs(common::InDir(dir_, store));
}

int ListModel::RowCount() const {
  int n = HowManyRecordInDB(common::InDir(dir_, common::kListView).c_str());
  return n < 0 ? 0 : n;
}

std::optional<ListRecord> ListModel::StoreRecord(int column, int position) const {
  if (position < 0) return std::nullopt;
  char out[160] = {};
  if (GetRecordWithOffset(common::InDir(dir_, StoreDirOf(column)).c_str(), out, position) != 1) {
    return std::nullopt;
  }
  out[sizeof out - 1] = '\0';
  return ParseStoreRecord(column, out);
}

std::optional<ListRecord> ListModel::RecordAt(int index) const {
  if (index < 0 || index >= kMaxListRows) return std::nullopt;
  int position = descending_[sortColumn_] ? RowCount() - index - 1 : index;
  return StoreRecord(sortColumn_, position);
}

ListRow ListModel::Row(int index, const platform::SystemTime& now) const {
  ListRow row;
  std::optional<ListRecord> rec = RecordAt(index);
  if (!rec) return row;
  std::optional<RowStatus> st = ReadRowStatus(dir_, *rec);
  if (!st) return row;
  const common::CheckStatus& s = st->status;
  row.valid = true;
  row.nameField = rec->nameField;
  row.enabled = s.enabled != 0;
  row.lamp = LampOf(s);
  row.name = common::DecodeKey(KeyOf(rec->nameField));
  if (IsCustom(*rec)) row.name += "(" + st->service + ")";
  if (row.name.size() > 64) row.name.resize(64);
  row.domain = " " + rec->domain;
  row.service = ServiceCell(rec->dataDir);
  row.lastCheckStamp = StampText(s.lastCheck, sizeof s.lastCheck);
  row.errorDetectedStamp = StampText(s.errorDetected, sizeof s.errorDetected);
  row.lastCheck = TimeCell(row.lastCheckStamp);
  row.errorDetected = TimeCell(row.errorDetectedStamp);
  row.duration = DurationCell(DurationOf(s, now, consoleStart_));
  row.alertMark = AlertMarkOf(dir_, KeyOf(rec->nameField), rec->dataDir, st->customSlot, s);
  return row;
}

bool ListModel::IndexStale(int column) const {
  if (column == 2) return false;
  const std::string ini = common::IniPath(dir_);
  std::string built = platform::IniGetString(ini, common::kIniSection, BuildKeyOf(column), "");
  std::string changed = platform::IniGetString(ini, common::kIniSection, "LASTSETTINGUPDATE", "");
  if (built.size() > 19) built.resize(19);
  if (changed.size() > 19) changed.resize(19);
  if (built.size() == 12 && changed.size() == 12 &&
      std::atoll(changed.c_str()) < std::atoll(built.c_str())) {
    return false;
  }
  return true;
}

BuiltIndex ListModel::BuildIndex(int column, const std::function<bool()>& superseded) const {
  BuiltIndex built;
  if (column == 2 || column < 0 || column > 7) return built;
  // Taken first: an account changed while the index is built makes it stale again.
  built.stamp = Stamp12();
  const platform::SystemTime now = platform::LocalNow();
  const std::string main = common::InDir(dir_, StoreDirOf(2));
  // The main index is read in batches of positions; two threads take the batches in turn
  // (reading the rows' files is most of the time), and the keys are joined in the main
  // index's order, so the store is the same as from one thread.
  constexpr int kBatch = 512;
  std::mutex mutex;
  std::map<int, std::pair<std::string, int>> parts;  // batch -> packed keys, their count
  std::atomic<int> next{0};
  std::atomic<int> last{INT_MAX};  // the first batch that came back short
  std::atomic<bool> stop{false};
  const Folders folders(dir_);
  auto work = [&](bool coordinator) {
    std::vector<char> slots(static_cast<size_t>(kBatch) * 150);
    for (;;) {
      if (coordinator && superseded && superseded()) stop = true;
      if (stop) return;
      const int batch = next++;
      if (batch > last) return;
      const int got = GetRecordsWithOffset(main.c_str(), slots.data(), batch * kBatch, kBatch);
      if (got < kBatch) {
        int seen = last.load();
        while (batch < seen && !last.compare_exchange_weak(seen, batch)) {
        }
      }
      std::string packed;
      int records = 0;
      {
        // One hold of the folder locks per batch: short enough for the agents' changes.
        common::StatusFoldersShared locks(dir_);
        for (int i = 0; i < std::max(got, 0); ++i) {
          const char* slot = slots.data() + static_cast<size_t>(i) * 150;
          std::optional<ListRecord> rec =
              ParseStoreRecord(2, std::string(slot, strnlen(slot, 150)));
          if (!rec) continue;
          const int folder = FolderIndex(rec->dataDir);
          const bool locked = folder >= 0 && locks.held(static_cast<common::StatusFolder>(folder));
          std::optional<RowStatus> st = locked ? folders.Read(*rec) : ReadRowStatus(dir_, *rec);
          if (!st) continue;
          packed += SortKeyOf(column, *rec, *st, now, consoleStart_);
          packed += '\0';
          ++records;
        }
      }
      std::lock_guard<std::mutex> hold(mutex);
      parts[batch] = {std::move(packed), records};
    }
  };
  std::thread helper(work, false);
  work(true);
  helper.join();
  std::string packed;
  int records = 0;
  for (auto& [batch, part] : parts) {
    if (batch > last) break;  // read past the end: nothing in it
    packed += part.first;
    records += part.second;
  }
  if (superseded && superseded()) return built;
  const std::string store = common::InDir(dir_, StoreDirOf(column));
  const int32_t rc = ReplaceAllDat(store.c_str(), packed.data(), records);
  if (rc != 1) {
    std::fprintf(stderr, "KTVarnock: the sort index %s could not be written (%d)\n",
                 StoreDirOf(column), rc);
    return built;
  }
  built.ok = true;
  built.records = HowManyRecordInDB(store.c_str());
  return built;
}

void ListModel::WriteBuildTime(int column, const std::string& stamp) const {
  for (int attempt = 0; attempt < 10; ++attempt) {
    if (platform::IniSetString(common::IniPath(dir_), common::kIniSection, BuildKeyOf(column),
                               stamp)) {
      return;
    }
    platform::SleepMs(10);
  }
  std::fprintf(stderr, "KTVarnock: cannot write %s; the index is built again at the next click\n",
               BuildKeyOf(column));
}

bool ListModel::SortBuilt(const SortRequest& request, const BuiltIndex& built) {
  if (built.ok) WriteBuildTime(request.column, built.stamp);
  if (request.ticket != ticket_) return false;
  sortColumn_ = request.column;
  descending_ = clicked_;
  return true;
}

int ListModel::RebuildIndex(int column) {
  BuiltIndex built = BuildIndex(column);
  if (!built.ok) return 0;
  WriteBuildTime(column, built.stamp);
  return built.records;
}

SortRequest ListModel::RequestSort(int column) {
  if (column < 0 || column > 7) column = lastClicked_;
  lastClicked_ = column;
  clicked_[column] ^= 1;
  SortRequest request{false, column, ++ticket_};
  if (column != 2 && IndexStale(column)) {
    request.rebuild = true;
    return request;
  }
  sortColumn_ = column;
  descending_ = clicked_;
  return request;
}

bool ListModel::SortBy(int column) {
  SortRequest request = RequestSort(column);
  if (!request.rebuild) return false;
  SortBuilt(request, BuildIndex(request.column));
  return true;
}

void ListModel::ResetSort() {
  sortColumn_ = lastClicked_ = 2;
  descending_ = clicked_;
  ++ticket_;  // a rebuild under way no longer changes what is shown
}

namespace {

// Flips or sets the enable flag of the row's status record under the folder's lock.
// `decide` gets the current flag and returns the new one (or nothing to leave it).
bool ChangeEnable(const std::string& dir, const ListRecord& rec,
                  const std::function<std::optional<uint32_t>(uint32_t)>& decide, uint32_t* newFlag,
                  std::string* service) {
  const std::string key = KeyOf(rec.nameField);
  int folder = FolderIndex(rec.dataDir);
  if (folder < 0 || key.empty() || common::FileSizeOf(common::AccountPath(dir, key)) <= 0) {
    return false;
  }
  if (!IsCustom(rec)) {
    return common::UpdateCheckStatus(dir, static_cast<common::StatusFolder>(folder), key,
                                     [&](common::CheckStatus& s, bool exists) {
                                       if (!exists) return false;
                                       std::optional<uint32_t> next = decide(s.enabled);
                                       if (!next) return false;
                                       s.enabled = *next;
                                       *newFlag = *next;
                                       return true;
                                     });
  }
  const std::string wanted = ServiceOf(rec.nameField);
  return common::UpdateCustomStatus(dir, key, [&](common::CustomStatus& c, bool exists) {
    if (!exists) return false;
    for (int i = 0; i < 5; ++i) {
      std::string name = common::FieldText(c.names[i]);
      if (name.empty() || strcasecmp(name.c_str(), wanted.c_str()) != 0) continue;
      std::optional<uint32_t> next = decide(c.slots[i].enabled);
      if (!next) return false;
      c.slots[i].enabled = *next;
      *newFlag = *next;
      *service = name;
      return true;
    }
    return false;
  });
}

}  // namespace

bool ListModel::ToggleEnable(int index) {
  std::optional<ListRecord> rec = RecordAt(index);
  if (!rec) return false;
  const bool custom = IsCustom(*rec);
  uint32_t flag = 0;
  std::string service;
  bool changed = ChangeEnable(
      dir_, *rec,
      [custom](uint32_t current) -> std::optional<uint32_t> {
        if (custom) return current != 0 ? 0u : 1u;
        return current != 1 ? 1u : 0u;
      },
      &flag, &service);
  if (!changed) return false;
  common::TouchSettingUpdate(dir_);
  const std::string key = KeyOf(rec->nameField);
  std::string name = common::DecodeKey(key);
  std::string text;
  if (custom) {
    name += "(" + service + ")";
    text = std::string("Custom Scan Data [") + service + (flag ? "] Enabled." : "] Disabled.");
  } else {
    text = flag ? "Scan Data Enabled." : "Scan Data Disabled.";
  }
  WriteAccountLogLine(dir_, 10005, name, rec->nameField, text);
  return true;
}

int ListModel::SetAllEnabled(bool enable) {
  const int count = RowCount();
  int changed = 0;
  for (int position = 0; position < count && position < kMaxListRows; ++position) {
    std::optional<ListRecord> rec = StoreRecord(sortColumn_, position);
    if (!rec) continue;
    uint32_t flag = 0;
    std::string service;
    bool done = ChangeEnable(
        dir_, *rec,
        [enable](uint32_t current) -> std::optional<uint32_t> {
          if (enable && current == 0) return 1u;
          if (!enable && current == 1) return 0u;
          return std::nullopt;
        },
        &flag, &service);
    if (done) ++changed;
  }
  common::TouchSettingUpdate(dir_);
  if (enable) {
    WriteLogLine(dir_, 10010, "Check All Clicked", "Check All");
  } else {
    WriteLogLine(dir_, 10010, "Uncheck All Clicked", "Uncheck All");
  }
  return changed;
}

}  // namespace console
