// The scan state file an agent leaves for the console: 32-bit fields, the busy flags first
// (one, or one per stage of the check) and the down flag at the agent's offset; the other
// fields are kept as read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace agents {

class ScanStateFile {
 public:
  ScanStateFile(std::string path, size_t size, size_t downOffset, size_t busyFlags = 1);

  // Reads the file whole; a missing or short file reads as zeros.
  void Load();
  // Writes the fields back whole (temporary file and rename).
  bool Save();

  // Sets every busy flag.
  void SetBusy(uint32_t value);
  void SetDown(uint32_t value) { SetField(downOffset_ / 4, value); }
  uint32_t Field(size_t index);
  void SetField(size_t index, uint32_t value);
  // Busy field set and the file written at once, as the agents do at their marks. A write
  // that would not change the file's content since this run's last write is left out.
  bool WriteBusy(uint32_t value);
  // One field set and the file written, left out as WriteBusy is.
  bool WriteField(size_t index, uint32_t value);

  // The fields as a byte image, and their storage for a check that updates them itself.
  std::vector<char> Image();
  int32_t* FieldAddress(size_t index) { return reinterpret_cast<int32_t*>(&fields_[index]); }
  const std::string& path() const { return path_; }
  size_t size() const { return fields_.size() * 4; }

 private:
  bool SaveIfChanged();

  std::mutex mutex_;
  std::string path_;
  size_t downOffset_;
  size_t busyFlags_;
  std::vector<uint32_t> fields_;
  std::vector<uint32_t> saved_;  // the content of this run's last write
};

}  // namespace agents
