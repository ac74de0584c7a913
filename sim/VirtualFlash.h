// Model of the SPI flash part beside a virtual bridge: one part of the
// flash-part table with its size, erase block and identification replies,
// optionally backed by an image file that every change is written to at once.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

struct SerialFlashRomParam;

namespace vbridge {

class VirtualFlash {
 public:
  VirtualFlash() = default;
  VirtualFlash(const VirtualFlash&) = delete;
  VirtualFlash& operator=(const VirtualFlash&) = delete;

  // Row of gSerialFlashRomParamTbl with this exact name, or -1 (also for
  // "END", which is not a part).
  static int FindPart(const std::string& name);

  // Becomes the named part, erased (all 0xFF), without a backing file.
  bool Init(const std::string& partName, std::string* error);

  // Backs the contents with an image file: an existing file is loaded (a
  // shorter one is extended with 0xFF, a longer one is refused); a missing
  // file is created 0xFF-filled.
  bool AttachImage(const std::string& path, std::string* error);

  // Reads the contents back from the image file, which another process may
  // have changed (a run of the updater that held the device before this
  // one). Bytes past the file's end read 0xFF. True without an image file.
  bool Reload();

  const SerialFlashRomParam* Part() const { return part_; }
  uint32_t Size() const { return static_cast<uint32_t>(bytes_.size()); }
  uint32_t EraseBlockSize() const { return eraseBlock_; }
  const std::vector<uint8_t>& Bytes() const { return bytes_; }

  // The flash's answer to an identification command: `command` holds the
  // `count` command bytes clocked out, `reply` receives `replyLength` bytes.
  // 0x9F answers the part's first probe reply, 0xAB its second; bytes past
  // the part's reply and unknown commands read 0xFF (the bus floats high).
  void Identify(const uint8_t* command, unsigned count, uint8_t* reply,
                unsigned replyLength) const;

  // Each fails (and changes nothing) when the range leaves the flash.
  bool Read(uint32_t address, uint8_t* out, uint32_t length) const;
  // Programming can only clear bits: new = old AND data.
  bool Program(uint32_t address, const uint8_t* data, uint32_t length);
  // Erases the erase block that holds `address` (the block address is the
  // address aligned down, as the flash parts themselves do).
  bool EraseBlock(uint32_t address);
  bool EraseChip();

  // Replaces bytes as they are (not an AND): initial contents for tests and
  // for a freshly made image. Written through like every change.
  bool Store(uint32_t address, const uint8_t* data, uint32_t length);

 private:
  struct FileCloser {
    void operator()(std::FILE* f) const {
      if (f != nullptr) std::fclose(f);
    }
  };
  bool WriteThrough(uint32_t address, uint32_t length);

  const SerialFlashRomParam* part_ = nullptr;
  uint32_t eraseBlock_ = 0;
  std::vector<uint8_t> bytes_;
  std::unique_ptr<std::FILE, FileCloser> file_;
};

}  // namespace vbridge
