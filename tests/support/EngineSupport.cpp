#include "EngineSupport.h"

#include <gtest/gtest.h>

namespace testsupport {

namespace {
ProgressRecorder* gRecorder = nullptr;
}

ProgressRecorder::ProgressRecorder() { gRecorder = this; }
ProgressRecorder::~ProgressRecorder() { gRecorder = nullptr; }

void ProgressRecorder::Callback(unsigned short percent, bool ok) {
  if (gRecorder == nullptr) return;
  std::lock_guard<std::mutex> lock(gRecorder->mutex_);
  gRecorder->reports_.push_back({percent, ok});
}

std::vector<ProgressRecorder::Report> ProgressRecorder::Reports() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return reports_;
}

int ProgressRecorder::CountOf(unsigned short percent) const {
  int count = 0;
  for (const Report& r : Reports()) count += r.ok && r.percent == percent;
  return count;
}

OneBridge::OneBridge(const std::vector<unsigned char>& image, vbridge::DeviceConfig config)
    : active_(&bus) {
  std::string error;
  device = bus.AddDevice(config, image, &error);
  EXPECT_NE(device, nullptr) << error;
}

std::vector<unsigned char> BuildImage(const zfimage::FlashImageSpec& imageSpec) {
  std::vector<unsigned char> image;
  std::string error;
  EXPECT_TRUE(zfimage::BuildFlashImage(imageSpec, &image, &error)) << error;
  return image;
}

}  // namespace testsupport
