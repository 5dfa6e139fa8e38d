// Today's display log as the activity pane shows it: loaded incrementally, split into lines
// (at most 99,999), newest first on screen.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace console {

constexpr size_t kMaxPaneLines = 99999;

// One pane row: the three cells and the colour rule's class.
struct PaneEntry {
  enum class Tone { kNormal, kFailure, kEvent };
  std::string time;     // columns 18-24
  std::string date;     // columns 6-15
  std::string name;     // the name field up to its first blank, decoded from its key form
                        // (or the readable name of a full log)
  std::string message;  // at most 98 characters from column 93
  Tone tone = Tone::kNormal;
};

// Splits a display log line into its cells (the line without CR LF). A full log (a day
// chosen in "View/Erase Logs") holds readable names, which may contain blanks: with
// `keyNames` false the name field is shown as written, without its padding.
PaneEntry ParsePaneLine(std::string_view line, bool keyNames = true);

class DisplayLog {
 public:
  // Loads the bytes beyond what is already held; starts over when the file is another one
  // or shorter than what was loaded. False when the file could not be opened (the lines
  // held stay as they were).
  bool Load(const std::string& path);
  // Forgets everything (the next Load reads from byte 0).
  void Clear();

  size_t LineCount() const { return starts_.size(); }
  // Line `index` counted from the start of the file, without its line end.
  std::string_view Line(size_t index) const;
  // Row r of the pane (newest first) below the first visible line `first`; nothing past
  // the oldest line. An empty line of the file is an empty row, not the end.
  std::optional<std::string_view> PaneRow(size_t first, size_t r) const;

 private:
  std::string path_;
  std::string text_;              // the loaded bytes
  std::vector<uint32_t> starts_;  // start offset of each complete line
  size_t parsed_ = 0;             // bytes already split into lines
};

}  // namespace console
