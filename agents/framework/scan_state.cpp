#include "agents/framework/scan_state.h"

#include <cstring>

#include "common/file_ops.h"

namespace agents {

ScanStateFile::ScanStateFile(std::string path, size_t size, size_t downOffset, size_t busyWords)
    : path_(std::move(path)), downOffset_(downOffset), busyWords_(busyWords), words_(size / 4, 0) {}

void ScanStateFile::SetBusy(uint32_t value) {
  for (size_t i = 0; i < busyWords_; ++i) SetWord(i, value);
}

void ScanStateFile::Load() {
  std::lock_guard<std::mutex> hold(mutex_);
  common::ReadFixedFile(path_, words_.data(), words_.size() * 4);
}

bool ScanStateFile::Save() {
  std::lock_guard<std::mutex> hold(mutex_);
  if (common::WriteWholeFile(path_, words_.data(), words_.size() * 4) != 1) return false;
  saved_ = words_;
  return true;
}

uint32_t ScanStateFile::Word(size_t index) {
  std::lock_guard<std::mutex> hold(mutex_);
  return index < words_.size() ? words_[index] : 0;
}

void ScanStateFile::SetWord(size_t index, uint32_t value) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (index < words_.size()) words_[index] = value;
}

bool ScanStateFile::WriteBusy(uint32_t value) {
  SetBusy(value);
  return SaveIfChanged();
}

bool ScanStateFile::WriteWord(size_t index, uint32_t value) {
  SetWord(index, value);
  return SaveIfChanged();
}

bool ScanStateFile::SaveIfChanged() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    if (words_ == saved_) return true;
  }
  return Save();
}

std::vector<char> ScanStateFile::Image() {
  std::lock_guard<std::mutex> hold(mutex_);
  std::vector<char> image(words_.size() * 4);
  std::memcpy(image.data(), words_.data(), image.size());
  return image;
}

}  // namespace agents
