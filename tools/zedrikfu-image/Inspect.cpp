// The inspect command: what the updater would see in a flash image or a
// firmware file, and whether it would accept it.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ImageAuthoring.h"
#include "SROMImage.h"
#include "SROMTables.h"
#include "ToolCommon.h"
#include "common.h"

namespace zfimage {

namespace {

std::string Hex(uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", digits, value);
  return text;
}

const char* GoodBad(bool good) { return good ? "good" : "BAD"; }

std::string SignatureText(uint32_t signature) {
  std::string text = Hex(signature, 8);
  if (signature == kSignatureQK9318A) return text + " (QK9318A)";
  if (signature == kSignatureQK9318E) return text + " (QK9318E)";
  return text + " (unknown bridge)";
}

// Printable form of a byte string: control and non-ASCII bytes escaped.
std::string Printable(const unsigned char* data, size_t length) {
  std::string text;
  for (size_t i = 0; i < length; ++i) {
    const unsigned char c = data[i];
    if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
      text += static_cast<char>(c);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      text += escaped;
    }
  }
  return text;
}

// A file that holds exactly one firmware area: its length is the 16-bit size
// field plus 16 and it starts with a bridge signature of the chip maker.
bool LooksLikeFirmwareFile(const std::vector<unsigned char>& file) {
  if (file.size() < kAreaHeaderSize || file.size() > kMaxFirmwareFileSize) return false;
  if (file.size() != GetLE16(file.data() + kAreaCodeSize) + static_cast<size_t>(kAreaHeaderSize)) return false;
  return (GetLE32(file.data()) & 0xFFFF) == kChipVendorId;
}

int InspectFirmware(const std::string& path, const std::vector<unsigned char>& file,
                    bool haveVariant, SROM_BRIDGEIC configured) {
  std::printf("firmware file: %s, %zu bytes\n", path.c_str(), file.size());
  if (file.size() < kAreaHeaderSize) {
    std::printf("  refused: shorter than the 16-byte area header\n");
    return kExitRefused;
  }
  const uint32_t signature = GetLE32(file.data());
  const uint32_t size16 = GetLE16(file.data() + kAreaCodeSize);
  const uint32_t size32 = GetLE32(file.data() + kAreaCodeSize);
  const uint16_t version = GetLE16(file.data() + kAreaVersion);
  const uint16_t stored = GetLE16(file.data() + kAreaCodeCrc);
  std::printf("  signature: %s\n", SignatureText(signature).c_str());
  std::printf("  version: %s (%s)\n", VersionText(version).c_str(), Hex(version, 4).c_str());
  std::printf("  code size: %u (size field %s)\n", size16, Hex(size32, 8).c_str());

  std::vector<std::string> problems;
  if (file.size() > kMaxFirmwareFileSize) problems.push_back("longer than 65536 bytes");
  const bool lengthOk = file.size() == size16 + static_cast<size_t>(kAreaHeaderSize);
  if (!lengthOk) problems.push_back("length differs from the code size + 16");
  if (signature != kSignatureQK9318A && signature != kSignatureQK9318E) {
    problems.push_back("no known bridge signature");
  } else if (haveVariant && signature != SignatureOf(configured)) {
    problems.push_back(std::string("built for another variant than ") + VariantName(configured));
  }
  if (lengthOk) {
    const uint16_t computed =
        static_cast<uint16_t>(CalcCRC16(file.data() + kAreaHeaderSize, size16));
    std::printf("  code CRC: stored %s, computed %s (%s)\n", Hex(stored, 4).c_str(),
                Hex(computed, 4).c_str(), GoodBad(computed == stored));
    if (computed != stored) problems.push_back("code CRC does not match");
    if (size16 >= 2) {
      const uint16_t compat = GetLE16(file.data() + kAreaHeaderSize + size16 - 2);
      std::printf("  compatibility: %s\n", Hex(compat, 4).c_str());
    }
  }
  if (problems.empty()) {
    std::printf("  verdict: accepted for %s\n",
                VariantName(signature == kSignatureQK9318A ? BRIDGEIC_QK9318A : BRIDGEIC_QK9318E));
    return kExitOk;
  }
  for (const std::string& problem : problems) std::printf("  refused: %s\n", problem.c_str());
  return kExitRefused;
}

void PrintArea(CSROMImage& rom, int number, uint32_t offset) {
  std::printf("firmware area %d: ", number);
  if (offset == 0) {
    std::printf("absent\n");
    return;
  }
  const uint32_t size = rom.ImageSize();
  std::printf("offset %s", Hex(offset, 5).c_str());
  if (!RangeInside(offset, kAreaHeaderSize, size)) {
    std::printf(", header outside the image\n");
    return;
  }
  const unsigned char* area = rom.Image() + offset;
  const uint32_t n = GetLE32(area + kAreaCodeSize);
  const uint16_t stored = GetLE16(area + kAreaCodeCrc);
  std::printf(", signature %s, code size %u, version %s\n", SignatureText(GetLE32(area)).c_str(), n,
              VersionText(GetLE16(area + kAreaVersion)).c_str());
  if (!RangeInside(static_cast<uint64_t>(offset) + kAreaHeaderSize, n, size)) {
    std::printf("  code outside the image\n");
    return;
  }
  const uint16_t computed = static_cast<uint16_t>(CalcCRC16(area + kAreaHeaderSize, n));
  std::printf("  code CRC: stored %s, computed %s (%s)", Hex(stored, 4).c_str(),
              Hex(computed, 4).c_str(), GoodBad(stored == computed));
  if (n >= 2) std::printf(", compatibility %s", Hex(GetLE16(area + kAreaHeaderSize + n - 2), 4).c_str());
  std::printf("\n");
}

void PrintParameters(CSROMImage& rom) {
  const ROM_PARAMETER_IMAGE& r = *rom.GetRomParameter();
  std::printf("flash programming parameters:\n");
  std::printf("  opcodes: read %s, program %s, erase %s, chip erase %s, write enable %s,\n"
              "           write disable %s, read status %s, write status %s, EWSR %s\n",
              Hex(r.ReadCommand, 2).c_str(), Hex(r.ProgramCommand, 2).c_str(),
              Hex(r.EraseCommand, 2).c_str(), Hex(r.ChipEraseCommand, 2).c_str(),
              Hex(r.WriteEnableCommand, 2).c_str(), Hex(r.WriteDisableCommand, 2).c_str(),
              Hex(r.ReadStatusCommand, 2).c_str(), Hex(r.WriteStatusCommand, 2).c_str(),
              Hex(r.EWSRCommand, 2).c_str());
  const uint64_t flashSize = r.RomSizeLog2 < 64 ? (uint64_t{1} << r.RomSizeLog2) : 0;
  std::printf("  flash size %llu (2^%u), erase block %u (2^%u), page program unit %u, AAI unit %u\n",
              static_cast<unsigned long long>(flashSize), r.RomSizeLog2,
              rom.GetEraseRomBlockSize(), r.EraseSizeLog2, r.PageProgramUnitSize,
              r.AAIProgramUnitSize);
  std::printf("  control flags %s, mode %u, frequency code %u (%s MHz), reserved %u\n",
              Hex(r.ControlFlags, 2).c_str(), r.ModeCode, r.FrequencyCode,
              srom::ListToFrequency(r.FrequencyCode), r.Reserved);

  // The table parts whose parameters are exactly these.
  std::string parts;
  for (unsigned i = 0; i < kSerialFlashPartCount; ++i) {
    _serialflash_romparamlist list = {};
    if (srom::GetParamList(i, &list, 0, BRIDGEIC_QK9318E, FWALLOCATE_ANY) != 2) continue;
    ROM_PARAMETER_IMAGE candidate = {};
    srom::ListToImage(&candidate, &list);
    const bool same =
        candidate.ReadCommand == r.ReadCommand && candidate.ProgramCommand == r.ProgramCommand &&
        candidate.EraseCommand == r.EraseCommand && candidate.EWSRCommand == r.EWSRCommand &&
        candidate.WriteEnableCommand == r.WriteEnableCommand &&
        candidate.WriteDisableCommand == r.WriteDisableCommand &&
        candidate.ReadStatusCommand == r.ReadStatusCommand &&
        candidate.WriteStatusCommand == r.WriteStatusCommand &&
        candidate.ChipEraseCommand == r.ChipEraseCommand &&
        candidate.ControlFlags == r.ControlFlags && candidate.FrequencyCode == r.FrequencyCode &&
        candidate.PageProgramUnitSize == r.PageProgramUnitSize &&
        candidate.AAIProgramUnitSize == r.AAIProgramUnitSize &&
        candidate.EraseSizeLog2 == r.EraseSizeLog2 && candidate.RomSizeLog2 == r.RomSizeLog2 &&
        candidate.Reserved == r.Reserved && candidate.ModeCode == r.ModeCode;
    if (same) parts += std::string(parts.empty() ? "" : "; ") + "\"" + list.Name + "\"";
  }
  std::printf("  matching table parts: %s\n", parts.empty() ? "none" : parts.c_str());
}

int InspectFlash(const std::string& path, const std::vector<unsigned char>& file,
                 bool haveVariant, SROM_BRIDGEIC configured) {
  std::printf("flash image: %s, %zu bytes\n", path.c_str(), file.size());
  if (file.empty() || file.size() > 0xFFFFFFFFu) {
    std::printf("refused: empty or too large\n");
    return kExitRefused;
  }
  CSROMImage rom;
  const bool headerGood = rom.LoadImage(file.data(), static_cast<uint32_t>(file.size()));
  const uint32_t size = rom.ImageSize();
  if (size < kImageHeaderSize) {
    std::printf("header: shorter than 48 bytes\nrefused: no header\n");
    return kExitRefused;
  }
  const unsigned char* image = rom.Image();
  const uint16_t storedHeaderCrc = GetLE16(image + kHeaderCrcOffset);
  const uint16_t computedHeaderCrc = HeaderCrcOf(image);
  std::printf("header: magic \"%s\", flags %s, CRC stored %s, computed %s (%s)\n",
              Printable(image, 4).c_str(), Hex(image[6], 2).c_str(),
              Hex(storedHeaderCrc, 4).c_str(), Hex(computedHeaderCrc, 4).c_str(),
              GoodBad(headerGood));
  if (!headerGood) {
    std::printf("refused: the header CRC does not hold (the updater cannot read this flash)\n");
    return kExitRefused;
  }
  PrintParameters(rom);
  const uint64_t flashSize = uint64_t{1} << (rom.GetRomParameter()->RomSizeLog2 & 63);
  if (flashSize != size) {
    std::printf("  note: the file holds %u bytes, the parameters name a %llu-byte flash\n", size,
                static_cast<unsigned long long>(flashSize));
  }

  // Parameter area.
  const uint32_t p = rom.GetDWORDFromSROMImage(kParamAreaOffsetField);
  std::printf("parameter area: offset %s", Hex(p, 4).c_str());
  if (RangeInside(p, kAreaHeaderSize, size)) {
    const uint32_t d = GetLE32(image + p + kParamDataSizeField);
    std::printf(", magic \"%s\", data %u bytes", Printable(image + p, 4).c_str(), d);
    if (RangeInside(static_cast<uint64_t>(p) + kAreaHeaderSize, d, size)) {
      const uint16_t stored = GetLE16(image + p + kParamCrcField);
      const uint16_t computed = static_cast<uint16_t>(CalcCRC16(image + p + kAreaHeaderSize, d));
      std::printf(", CRC stored %s, computed %s (%s)\n", Hex(stored, 4).c_str(),
                  Hex(computed, 4).c_str(), GoodBad(stored == computed));
    } else {
      std::printf(", data outside the image\n");
    }
  } else {
    std::printf(", outside the image\n");
  }

  // Identity as the updater reads it (conversion failures print their line).
  _actionparamlist list = {};
  rom.GetActionParameter(&list);
  std::printf("identity: vendor %s, product %s, bcdDevice %s\n", Hex(list.VendorID, 4).c_str(),
              Hex(list.ProductID, 4).c_str(), Hex(list.BcdDevice, 4).c_str());
  std::printf("  manufacturer \"%s\"\n  product \"%s\"\n  third \"%s\"\n",
              Printable(reinterpret_cast<const unsigned char*>(list.ManufacturerString),
                        std::strlen(list.ManufacturerString)).c_str(),
              Printable(reinterpret_cast<const unsigned char*>(list.ProductString),
                        std::strlen(list.ProductString)).c_str(),
              Printable(reinterpret_cast<const unsigned char*>(list.ThirdString),
                        std::strlen(list.ThirdString)).c_str());
  std::printf("flash type name: \"%s\"\n",
              Printable(reinterpret_cast<const unsigned char*>(rom.GetFlashTypeName()),
                        std::strlen(rom.GetFlashTypeName())).c_str());
  char fileName[256] = {};
  rom.GetFWFileName(fileName, sizeof fileName - 1);
  std::printf("firmware file name: %s\n",
              fileName[0] == '\0'
                  ? "none"
                  : ("\"" + Printable(reinterpret_cast<const unsigned char*>(fileName),
                                      std::strlen(fileName)) + "\"").c_str());

  // Firmware areas.
  const uint32_t o1 = rom.GetDWORDFromSROMImage(kArea1OffsetField);
  const uint32_t o2 = rom.GetDWORDFromSROMImage(kArea2OffsetField);
  PrintArea(rom, 1, o1);
  PrintArea(rom, 2, o2);
  const SROM_BRIDGEIC bridge = rom.GetBridgeIC();
  const SROM_FWALLOCATE allocate = rom.GetFWAllocate();
  std::printf("layout: bridge %s (BridgeIC %u), copies %s (FWAllocate %u)\n", VariantName(bridge),
              static_cast<unsigned>(bridge),
              allocate == FWALLOCATE_SINGLE ? "1" : allocate == FWALLOCATE_DUAL ? "2" : "none",
              static_cast<unsigned>(allocate));
  const int choice = rom.CheckFWCRC(allocate);
  if (choice == 0 || choice == 1) {
    std::printf("device runs: firmware area %d (CheckFWCRC %d), area size %u\n", choice + 1,
                choice, rom.GetFWCodeSize());
  } else {
    std::printf("device runs: no usable firmware copy (CheckFWCRC %d)\n", choice);
  }

  // The installed version as the updater shows it: Unknown when the chosen
  // copy is not built for the configured variant.
  const SROM_BRIDGEIC target = haveVariant ? configured : bridge;
  uint16_t installed = rom.GetFWVersion();
  if (rom.GetFWBridgeSignature() != SignatureOf(target) || SignatureOf(target) == 0) installed = 0;
  std::printf("installed version (for %s): %s\n", VariantName(target),
              installed == 0 ? "Unknown" : VersionText(installed).c_str());

  if (bridge == BRIDGEIC_QK9318E) {
    const bool recordsInside =
        RangeInside(static_cast<uint64_t>(p) + kEncryptionRecord1Field, 8, size);
    const uint32_t e1 = recordsInside ? GetLE32(image + p + kEncryptionRecord1Field) : 0;
    const uint32_t e2 = recordsInside ? GetLE32(image + p + kEncryptionRecord2Field) : 0;
    _encryptionlist settings = {};
    rom.GetEncryption(&settings);
    std::printf("encryption: records at %s and %s, settings %u, %u, %u\n", Hex(e1, 5).c_str(),
                Hex(e2, 5).c_str(), settings.Setting0, settings.Setting1, settings.Setting2);
  }

  if (choice != 0 && choice != 1) {
    std::printf("refused: no usable firmware copy\n");
    return kExitRefused;
  }
  std::printf("verdict: usable\n");
  return kExitOk;
}

}  // namespace

int RunInspect(const std::vector<std::string>& args) {
  std::string path;
  bool forceFlash = false, forceFirmware = false, haveVariant = false;
  SROM_BRIDGEIC variant = BRIDGEIC_UNKNOWN;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--flash") {
      forceFlash = true;
    } else if (args[i] == "--firmware") {
      forceFirmware = true;
    } else if (args[i] == "--variant" && i + 1 < args.size()) {
      if (!ParseVariant(args[++i], &variant)) {
        std::fprintf(stderr, "zedrikfu-image: --variant takes A or E\n");
        return kExitUsage;
      }
      haveVariant = true;
    } else if (path.empty() && !args[i].empty() && args[i][0] != '-') {
      path = args[i];
    } else {
      std::fprintf(stderr, "zedrikfu-image: inspect: unexpected argument %s\n", args[i].c_str());
      return kExitUsage;
    }
  }
  if (path.empty() || (forceFlash && forceFirmware)) {
    std::fprintf(stderr, "usage: zedrikfu-image inspect [--flash|--firmware] [--variant A|E] FILE\n");
    return kExitUsage;
  }
  std::vector<unsigned char> file;
  std::string error;
  if (!ReadWholeFile(path, &file, &error)) {
    std::fprintf(stderr, "zedrikfu-image: %s\n", error.c_str());
    return kExitUsage;
  }
  const bool firmware = forceFirmware || (!forceFlash && LooksLikeFirmwareFile(file));
  const int status = firmware ? InspectFirmware(path, file, haveVariant, variant)
                              : InspectFlash(path, file, haveVariant, variant);
  std::fflush(stdout);
  return status;
}

}  // namespace zfimage
