// Driving the flash engine directly in tests: a progress recorder for the
// worker's reports and a bus with one bridge holding a given image.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "FlashROM.h"
#include "ImageAuthoring.h"
#include "VirtualBus.h"

namespace testsupport {

// Records every progress report; the engine takes a plain function.
class ProgressRecorder {
 public:
  struct Report {
    unsigned short percent;
    bool ok;
  };
  ProgressRecorder();
  ~ProgressRecorder();
  static void Callback(unsigned short percent, bool ok);
  std::vector<Report> Reports() const;
  int CountOf(unsigned short percent) const;

 private:
  mutable std::mutex mutex_;
  std::vector<Report> reports_;
};

// A bus with one default bridge holding `image`, active while it lives.
class OneBridge {
 public:
  explicit OneBridge(const std::vector<unsigned char>& image,
                     vbridge::DeviceConfig config = vbridge::DeviceConfig());
  vbridge::VirtualBridge* device = nullptr;
  vbridge::VirtualBus bus;

 private:
  vbridge::ScopedActiveBus active_;
};

std::vector<unsigned char> BuildImage(const zfimage::FlashImageSpec& imageSpec);

}  // namespace testsupport
