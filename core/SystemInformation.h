// The system information file ZEDRIKFU.ini: target bridge and the device
// identities that may be updated, with the checks made against them.
#pragma once

#include <cstdint>
#include <memory>

#include "Types.h"

class IDFilter;

// Copies the value of `key` in `section` into out (size bytes, always
// zero-terminated); leaves out empty when the key is not found.
void GetInformationToken(const char* text, const char* section, const char* key, char* out,
                         uint16_t size);
// The value of `key` as a decimal or hexadecimal number, or -1.
int32_t GetInformationInt(const char* text, const char* section, const char* key, bool decimal);

// One device identity; -1 and empty strings mean "any".
class CSyngleInformation {
 public:
  int32_t VenderID = -1;
  int32_t ProductID = -1;
  int32_t bcdDevice = -1;
  char Manufacture[32] = {};
  char Product[32] = {};
};

class CSystemInformation {
 public:
  bool SetInformationFile(const char* text);
  void AddFilter(IDFilter* filter) const;
  bool CheckSystemInformation(const _actionparamlist* params) const;
  bool CheckTargetType(const unsigned char* version) const;
  // The firmware file's content and its size in bytes: a file too short to
  // hold the field fails (or reads as revision 0) instead of being read past.
  bool CheckFWTargetType(const unsigned char* fw, uint32_t size) const;
  uint16_t GetFWRevision(const unsigned char* fw, uint32_t size) const;

  int32_t TargetType() const { return targetType_; }
  int32_t EntryCount() const { return count_; }
  const CSyngleInformation& Entry(int32_t i) const { return entries_[static_cast<size_t>(i)]; }

 private:
  int32_t targetType_ = BRIDGEIC_UNKNOWN;
  std::unique_ptr<CSyngleInformation[]> entries_;
  int32_t count_ = 0;
};
