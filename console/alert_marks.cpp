#include "console/alert_marks.h"

#include "common/account_key.h"
#include "common/account_options.h"
#include "common/layout.h"
#include "common/maintenance.h"
#include "common/status_update.h"
#include "platform/files.h"
#include "platform/ini.h"

namespace console {
namespace {

// The alert desk's record of a check that flaps starts with these two lines.
constexpr const char* kFlappingRecord = "VarnFlap1\n1\n";

bool Confirmed(const common::CheckStatus& s) {
  return s.failCount >= 2 && s.errorDetected[0] != '\0';
}

// Some check of the account raised its Down alert and is not up again.
bool AccountDown(const std::string& dir, const std::string& key) {
  for (size_t f = 0; f < common::kStatusFolderNames.size(); ++f) {
    const auto folder = static_cast<common::StatusFolder>(f);
    const std::string path = common::StatusPath(dir, folder, key);
    if (!platform::IsRegularFile(path)) continue;
    if (folder == common::StatusFolder::kCustom) {
      common::CustomStatus s{};
      if (common::ReadStatusRecord(path, &s, sizeof s) != 1) continue;
      for (const common::CheckStatus& slot : s.slots)
        if (Confirmed(slot)) return true;
    } else {
      common::CheckStatus s{};
      if (common::ReadStatusRecord(path, &s, sizeof s) == 1 && Confirmed(s)) return true;
    }
  }
  return false;
}

}  // namespace

AlertMark AlertMarkOf(const std::string& dir, const std::string& key, const std::string& folder,
                      int slot, const common::CheckStatus& status) {
  AlertMark mark;
  if (platform::IsRegularFile(common::MaintenancePath(dir)) &&
      common::InMaintenance(common::ReadMaintenance(dir), key, platform::LocalNow())) {
    mark.kind = AlertMark::kMaintenance;
    return mark;
  }
  if (status.failCount == 0) return mark;
  for (size_t f = 0; f < common::kStatusFolderNames.size(); ++f) {
    if (folder != common::kStatusFolderNames[f]) continue;
    const std::string record = common::InDir(
        dir, common::kTemp,
        "alertqueue/flap/" + key + "." + std::to_string(f) + "." + std::to_string(slot + 1));
    std::optional<std::string> text = platform::ReadWholeFile(record, 64);
    if (text && text->rfind(kFlappingRecord, 0) == 0) {
      mark.kind = AlertMark::kFlapping;
      return mark;
    }
  }
  const std::string parent = platform::IniGetString(common::AccountOptionsPath(dir, key),
                                                    common::kAccountOptionsSection, "PARENT", "");
  if (parent.empty()) return mark;
  const std::string parentKey = common::HexKey(parent);
  if (parentKey != key && AccountDown(dir, parentKey)) {
    mark.kind = AlertMark::kBehindParent;
    mark.parent = parent;
  }
  return mark;
}

}  // namespace console
