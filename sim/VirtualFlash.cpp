// SPI flash model of the virtual bridge.
#include "VirtualFlash.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "SROMData.h"
#include "SystemPath.h"
#include "common.h"

namespace vbridge {

namespace {

constexpr uint8_t kOpReadId = 0x9F;         // JEDEC read identification
constexpr uint8_t kOpReleaseAndId = 0xAB;   // release from power-down / signature

std::string ErrnoText() { return std::strerror(errno); }

}  // namespace

int VirtualFlash::FindPart(const std::string& name) {
  for (unsigned i = 0; i < kSerialFlashPartCount; ++i) {
    const char* rowName = gSerialFlashRomParamTbl[i].Name;
    const void* nul = std::memchr(rowName, 0, sizeof(gSerialFlashRomParamTbl[i].Name));
    const size_t rowLength = nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - rowName)
                                            : sizeof(gSerialFlashRomParamTbl[i].Name);
    if (std::strncmp(rowName, "END", sizeof(gSerialFlashRomParamTbl[i].Name)) == 0) break;
    if (name.size() == rowLength && name.compare(0, rowLength, rowName, rowLength) == 0) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

bool VirtualFlash::Init(const std::string& partName, std::string* error) {
  const int row = FindPart(partName);
  if (row < 0) {
    if (error) *error = "\"" + partName + "\" is not a part of the flash-part table";
    return false;
  }
  const SerialFlashRomParam& part = gSerialFlashRomParamTbl[row];
  if (part.RomSizeCode >= sizeof(gFlashRomSizeTable) ||
      part.EraseSizeCode >= sizeof(gEraseSizeTable)) {
    if (error) *error = "\"" + partName + "\" has no valid size in the flash-part table";
    return false;
  }
  const unsigned sizeLog2 = gFlashRomSizeTable[part.RomSizeCode];
  const unsigned eraseLog2 = gEraseSizeTable[part.EraseSizeCode];
  if (sizeLog2 > 24 || eraseLog2 > sizeLog2) {
    if (error) *error = "\"" + partName + "\" has no valid size in the flash-part table";
    return false;
  }
  part_ = &part;
  eraseBlock_ = 1u << eraseLog2;
  bytes_.assign(static_cast<size_t>(1u) << sizeLog2, 0xFF);
  file_.reset();
  return true;
}

bool VirtualFlash::AttachImage(const std::string& path, std::string* error) {
  if (part_ == nullptr) {
    if (error) *error = "no flash part chosen";
    return false;
  }
  std::unique_ptr<std::FILE, FileCloser> file(OpenPathFile(path, "r+b"));
  if (!file) {
    if (errno != ENOENT) {
      if (error) *error = "cannot open \"" + path + "\": " + ErrnoText();
      return false;
    }
    // Missing: a new, erased flash.
    file.reset(OpenPathFile(path, "w+b"));
    if (!file) {
      if (error) *error = "cannot create \"" + path + "\": " + ErrnoText();
      return false;
    }
    std::fill(bytes_.begin(), bytes_.end(), 0xFF);
    file_ = std::move(file);
    if (!WriteThrough(0, Size())) {
      if (error) *error = "cannot write \"" + path + "\": " + ErrnoText();
      file_.reset();
      return false;
    }
    return true;
  }

  // Existing: load it; read one byte more than the flash holds to notice a
  // file that is too large.
  std::vector<uint8_t> content(bytes_.size() + 1);
  const size_t got = std::fread(content.data(), 1, content.size(), file.get());
  if (std::ferror(file.get())) {
    if (error) *error = "cannot read \"" + path + "\": " + ErrnoText();
    return false;
  }
  if (got > bytes_.size()) {
    if (error) {
      *error = "\"" + path + "\" is larger than the flash part (" +
               std::to_string(bytes_.size()) + " bytes)";
    }
    return false;
  }
  std::fill(bytes_.begin(), bytes_.end(), 0xFF);
  std::copy(content.begin(), content.begin() + static_cast<std::ptrdiff_t>(got), bytes_.begin());
  file_ = std::move(file);
  if (got < bytes_.size() &&
      !WriteThrough(static_cast<uint32_t>(got), static_cast<uint32_t>(bytes_.size() - got))) {
    if (error) *error = "cannot extend \"" + path + "\": " + ErrnoText();
    file_.reset();
    return false;
  }
  return true;
}

bool VirtualFlash::WriteThrough(uint32_t address, uint32_t length) {
  if (!file_) return true;
  if (length == 0) return true;
  if (std::fseek(file_.get(), static_cast<long>(address), SEEK_SET) != 0) return false;
  if (std::fwrite(bytes_.data() + address, 1, length, file_.get()) != length) return false;
  return std::fflush(file_.get()) == 0;
}

bool VirtualFlash::Reload() {
  if (!file_) return true;
  std::vector<uint8_t> content(bytes_.size(), 0xFF);
  if (std::fseek(file_.get(), 0, SEEK_SET) != 0) return false;
  if (std::fread(content.data(), 1, content.size(), file_.get()) < content.size() &&
      std::ferror(file_.get())) {
    std::clearerr(file_.get());
    return false;
  }
  bytes_ = std::move(content);
  return true;
}

void VirtualFlash::Identify(const uint8_t* command, unsigned count, uint8_t* reply,
                            unsigned replyLength) const {
  if (reply == nullptr) return;
  std::memset(reply, 0xFF, replyLength);
  if (part_ == nullptr || command == nullptr || count == 0) return;
  const SerialFlashIdProbe* probe = nullptr;
  if (command[0] == kOpReadId) {
    probe = &part_->IdProbe1;
  } else if (command[0] == kOpReleaseAndId) {
    probe = &part_->IdProbe2;
  }
  if (probe == nullptr || probe->CommandLength == 0) return;
  unsigned n = probe->ReplyLength;
  if (n > sizeof(probe->Reply)) n = sizeof(probe->Reply);
  if (n > replyLength) n = replyLength;
  std::memcpy(reply, probe->Reply, n);
}

bool VirtualFlash::Read(uint32_t address, uint8_t* out, uint32_t length) const {
  if (!RangeInside(address, length, bytes_.size())) return false;
  if (length == 0) return true;
  if (out == nullptr) return false;
  std::memcpy(out, bytes_.data() + address, length);
  return true;
}

bool VirtualFlash::Program(uint32_t address, const uint8_t* data, uint32_t length) {
  if (!RangeInside(address, length, bytes_.size())) return false;
  if (length == 0) return true;
  if (data == nullptr) return false;
  for (uint32_t i = 0; i < length; ++i) bytes_[address + i] &= data[i];
  return WriteThrough(address, length);
}

bool VirtualFlash::EraseBlock(uint32_t address) {
  if (eraseBlock_ == 0 || address >= bytes_.size()) return false;
  const uint32_t start = address & ~(eraseBlock_ - 1);
  std::fill(bytes_.begin() + start, bytes_.begin() + start + eraseBlock_, 0xFF);
  return WriteThrough(start, eraseBlock_);
}

bool VirtualFlash::EraseChip() {
  if (part_ == nullptr) return false;
  std::fill(bytes_.begin(), bytes_.end(), 0xFF);
  return WriteThrough(0, Size());
}

bool VirtualFlash::Store(uint32_t address, const uint8_t* data, uint32_t length) {
  if (!RangeInside(address, length, bytes_.size())) return false;
  if (length == 0) return true;
  if (data == nullptr) return false;
  std::memcpy(bytes_.data() + address, data, length);
  return WriteThrough(address, length);
}

}  // namespace vbridge
