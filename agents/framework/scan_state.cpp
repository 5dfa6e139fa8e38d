#include "agents/framework/scan_state.h"

#include <cstring>

#include "common/file_ops.h"

namespace agents {

ScanStateFile::ScanStateFile(std::string path, size_t size, size_t downOffset, size_t busyFlags)
    : path_(std::move(path)),
      downOffset_(downOffset),
      busyFlags_(busyFlags),
      fields_(size / 4, 0) {}

void ScanStateFile::SetBusy(uint32_t value) {
  for (size_t i = 0; i < busyFlags_; ++i) SetField(i, value);
}

void ScanStateFile::Load() {
  std::lock_guard<std::mutex> hold(mutex_);
  common::ReadFixedFile(path_, fields_.data(), fields_.size() * 4);
}

bool ScanStateFile::Save() {
  std::lock_guard<std::mutex> hold(mutex_);
  if (common::WriteWholeFile(path_, fields_.data(), fields_.size() * 4) != 1) return false;
  saved_ = fields_;
  return true;
}

uint32_t ScanStateFile::Field(size_t index) {
  std::lock_guard<std::mutex> hold(mutex_);
  return index < fields_.size() ? fields_[index] : 0;
}

void ScanStateFile::SetField(size_t index, uint32_t value) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (index < fields_.size()) fields_[index] = value;
}

bool ScanStateFile::WriteBusy(uint32_t value) {
  SetBusy(value);
  return SaveIfChanged();
}

bool ScanStateFile::WriteField(size_t index, uint32_t value) {
  SetField(index, value);
  return SaveIfChanged();
}

bool ScanStateFile::SaveIfChanged() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    if (fields_ == saved_) return true;
  }
  return Save();
}

std::vector<char> ScanStateFile::Image() {
  std::lock_guard<std::mutex> hold(mutex_);
  std::vector<char> image(fields_.size() * 4);
  std::memcpy(image.data(), fields_.data(), image.size());
  return image;
}

}  // namespace agents
