// zedrikfu-image: makes and inspects flash images and firmware files offline,
// with the updater's own image code.
//
//   zedrikfu-image inspect [--flash|--firmware] [--variant A|E] FILE
//   zedrikfu-image make-firmware --variant A|E --version V --compat C
//                  (--code FILE | --random-size N [--seed S]) [--bad-crc] -o OUT
//   zedrikfu-image make-flash --part NAME --variant A|E --copies 1|2 [options] -o OUT
#include <cstdio>
#include <string>
#include <vector>

#include "ImageAuthoring.h"
#include "ToolCommon.h"
#include "common.h"

namespace {

using zfimage::kExitOk;
using zfimage::kExitUsage;

const char kUsage[] =
    "usage:\n"
    "  zedrikfu-image inspect [--flash|--firmware] [--variant A|E] FILE\n"
    "  zedrikfu-image make-firmware --variant A|E --version 0x0123 --compat 0x0154\n"
    "                 (--code FILE | --random-size N [--seed S]) [--bad-crc] -o OUT\n"
    "  zedrikfu-image make-flash --part NAME --variant A|E --copies 1|2 -o OUT\n"
    "                 [--vid 0x3F1C] [--pid 0x0001] [--bcd 0x0100]\n"
    "                 [--manufacturer TEXT] [--product TEXT] [--third TEXT]\n"
    "                 [--firmware FILE] [--firmware2 FILE] [--fw-name NAME]\n"
    "                 [--encryption S0,S1,S2] [--no-type-name]\n"
    "                 [--corrupt-copy 1|2] [--blank]\n"
    "  zedrikfu-image make-default -o OUT   (the virtual bridge's default flash)\n";

int Usage(const std::string& message) {
  if (!message.empty()) std::fprintf(stderr, "zedrikfu-image: %s\n", message.c_str());
  std::fputs(kUsage, stderr);
  return kExitUsage;
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "zedrikfu-image: %s\n", message.c_str());
  return kExitUsage;
}

// Options of the form "--name value" (or a bare flag) after the command.
class Options {
 public:
  // `flags` names the options that take no value.
  bool Parse(const std::vector<std::string>& args, const std::vector<std::string>& flags,
             std::string* error) {
    for (size_t i = 0; i < args.size(); ++i) {
      const std::string& a = args[i];
      if (a.size() < 2 || a[0] != '-') {
        *error = "unexpected argument " + a;
        return false;
      }
      bool isFlag = false;
      for (const std::string& f : flags) isFlag = isFlag || f == a;
      if (isFlag) {
        values_.push_back({a, ""});
        continue;
      }
      if (i + 1 >= args.size()) {
        *error = a + " needs a value";
        return false;
      }
      values_.push_back({a, args[++i]});
    }
    return true;
  }
  bool Has(const std::string& name) const {
    for (const auto& v : values_) {
      if (v.first == name) return true;
    }
    return false;
  }
  // The last value given for `name`.
  bool Get(const std::string& name, std::string* value) const {
    bool found = false;
    for (const auto& v : values_) {
      if (v.first == name) {
        *value = v.second;
        found = true;
      }
    }
    return found;
  }
  // Every name used must be one of `known`.
  bool OnlyKnown(const std::vector<std::string>& known, std::string* error) const {
    for (const auto& v : values_) {
      bool ok = false;
      for (const std::string& k : known) ok = ok || k == v.first;
      if (!ok) {
        *error = "unknown option " + v.first;
        return false;
      }
    }
    return true;
  }

 private:
  std::vector<std::pair<std::string, std::string>> values_;
};

bool GetNumber(const Options& options, const std::string& name, uint64_t max, uint64_t* value,
               std::string* error) {
  std::string text;
  if (!options.Get(name, &text)) return true;  // keeps the default
  if (!zfimage::ParseNumber(text, max, value)) {
    *error = "bad value for " + name + ": " + text;
    return false;
  }
  return true;
}

int MakeFirmware(const std::vector<std::string>& args) {
  Options options;
  std::string error;
  if (!options.Parse(args, {"--bad-crc"}, &error) ||
      !options.OnlyKnown({"--variant", "--version", "--compat", "--code", "--random-size",
                          "--seed", "--bad-crc", "-o"},
                         &error)) {
    return Usage(error);
  }
  std::string variantText, out;
  SROM_BRIDGEIC variant;
  if (!options.Get("--variant", &variantText) || !zfimage::ParseVariant(variantText, &variant)) {
    return Usage("--variant A or E is required");
  }
  if (!options.Get("-o", &out)) return Usage("-o OUT is required");
  uint64_t version = 0, compat = 0, randomSize = 0, seed = 1;
  if (!options.Has("--version") || !options.Has("--compat")) {
    return Usage("--version and --compat are required");
  }
  if (!GetNumber(options, "--version", 0xFFFF, &version, &error) ||
      !GetNumber(options, "--compat", 0xFFFF, &compat, &error) ||
      !GetNumber(options, "--random-size", zfimage::kMaxFirmwareFileSize, &randomSize, &error) ||
      !GetNumber(options, "--seed", 0xFFFFFFFF, &seed, &error)) {
    return Usage(error);
  }

  std::vector<unsigned char> code;
  std::string codePath;
  if (options.Get("--code", &codePath)) {
    if (options.Has("--random-size")) return Usage("give either --code or --random-size");
    if (!zfimage::ReadWholeFile(codePath, &code, &error)) return Fail(error);
  } else if (options.Has("--random-size")) {
    code = zfimage::PseudoRandomCode(static_cast<uint32_t>(randomSize),
                                     static_cast<uint32_t>(seed));
  } else {
    return Usage("--code FILE or --random-size N is required");
  }
  if (code.size() < 2) return Fail("the code must be at least 2 bytes (the compatibility value)");
  if (code.size() > zfimage::kMaxFirmwareFileSize - zfimage::kAreaHeaderSize) {
    return Fail("the code must be at most 65520 bytes");
  }

  std::vector<unsigned char> file =
      zfimage::BuildFirmwareFile(variant, static_cast<uint16_t>(version),
                                 static_cast<uint16_t>(compat), std::move(code));
  if (file.empty()) return Fail("cannot build the firmware file");
  if (options.Has("--bad-crc")) file[10] = static_cast<unsigned char>(file[10] ^ 0xFF);
  if (!zfimage::WriteWholeFile(out, file, &error)) return Fail(error);
  std::printf("%s: %s firmware %s, %zu bytes\n", out.c_str(), zfimage::VariantName(variant),
              zfimage::VersionText(static_cast<uint16_t>(version)).c_str(), file.size());
  return kExitOk;
}

bool ParseEncryption(const std::string& text, _encryptionlist* list) {
  // Three digits 0 or 1, separated by commas.
  if (text.size() != 5 || text[1] != ',' || text[3] != ',') return false;
  uint32_t* fields[3] = {&list->Setting0, &list->Setting1, &list->Setting2};
  for (int i = 0; i < 3; ++i) {
    const char c = text[static_cast<size_t>(i) * 2];
    if (c != '0' && c != '1') return false;
    *fields[i] = static_cast<uint32_t>(c - '0');
  }
  return true;
}

int MakeFlash(const std::vector<std::string>& args) {
  Options options;
  std::string error;
  if (!options.Parse(args, {"--blank", "--no-type-name"}, &error) ||
      !options.OnlyKnown({"--part", "--variant", "--copies", "--vid", "--pid", "--bcd",
                          "--manufacturer", "--product", "--third", "--firmware", "--firmware2",
                          "--fw-name", "--encryption", "--no-type-name", "--corrupt-copy",
                          "--blank", "-o"},
                         &error)) {
    return Usage(error);
  }
  zfimage::FlashImageSpec imageSpec;
  std::string text, out;
  if (!options.Get("-o", &out)) return Usage("-o OUT is required");
  if (!options.Get("--part", &imageSpec.partName)) return Usage("--part NAME is required");
  if (!options.Get("--variant", &text) || !zfimage::ParseVariant(text, &imageSpec.variant)) {
    return Usage("--variant A or E is required");
  }
  uint64_t copies = 0, vid = imageSpec.vendorId, pid = imageSpec.productId, bcd = imageSpec.bcdDevice,
           corrupt = 0;
  if (!options.Has("--copies")) return Usage("--copies 1 or 2 is required");
  if (!GetNumber(options, "--copies", 2, &copies, &error) ||
      !GetNumber(options, "--vid", 0xFFFF, &vid, &error) ||
      !GetNumber(options, "--pid", 0xFFFF, &pid, &error) ||
      !GetNumber(options, "--bcd", 0xFFFF, &bcd, &error) ||
      !GetNumber(options, "--corrupt-copy", 2, &corrupt, &error)) {
    return Usage(error);
  }
  if (copies != 1 && copies != 2) return Usage("--copies must be 1 or 2");
  imageSpec.copies = copies == 1 ? FWALLOCATE_SINGLE : FWALLOCATE_DUAL;
  imageSpec.vendorId = static_cast<uint16_t>(vid);
  imageSpec.productId = static_cast<uint16_t>(pid);
  imageSpec.bcdDevice = static_cast<uint16_t>(bcd);
  imageSpec.corruptCopy = static_cast<int>(corrupt);
  options.Get("--manufacturer", &imageSpec.manufacturer);
  options.Get("--product", &imageSpec.product);
  options.Get("--third", &imageSpec.thirdString);
  options.Get("--fw-name", &imageSpec.firmwareFileName);
  imageSpec.writeFlashTypeName = !options.Has("--no-type-name");
  imageSpec.blank = options.Has("--blank");
  if (options.Get("--encryption", &text) && !ParseEncryption(text, &imageSpec.encryption)) {
    return Usage("--encryption takes three settings 0 or 1, e.g. 1,0,1");
  }

  if (options.Get("--firmware", &text)) {
    if (!zfimage::ReadWholeFile(text, &imageSpec.firmware1, &error)) return Fail(error);
  } else {
    imageSpec.firmware1 = zfimage::DefaultFirmwareFile(imageSpec.variant);
  }
  if (options.Get("--firmware2", &text)) {
    if (!zfimage::ReadWholeFile(text, &imageSpec.firmware2, &error)) return Fail(error);
  }

  std::vector<unsigned char> image;
  if (!zfimage::BuildFlashImage(imageSpec, &image, &error)) return Fail(error);
  if (!zfimage::WriteWholeFile(out, image, &error)) return Fail(error);
  std::printf("%s: %s flash image, %zu bytes\n", out.c_str(), imageSpec.partName.c_str(), image.size());
  return kExitOk;
}

int MakeDefault(const std::vector<std::string>& args) {
  Options options;
  std::string error, out;
  if (!options.Parse(args, {}, &error) || !options.OnlyKnown({"-o"}, &error)) return Usage(error);
  if (!options.Get("-o", &out)) return Usage("-o OUT is required");
  std::vector<unsigned char> image;
  if (!zfimage::BuildDefaultFlashImage(&image, &error)) return Fail(error);
  if (!zfimage::WriteWholeFile(out, image, &error)) return Fail(error);
  std::printf("%s: default flash image, %zu bytes\n", out.c_str(), image.size());
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage("");
  const std::string command = argv[1];
  const std::vector<std::string> args(argv + 2, argv + argc);
  if (command == "inspect") return zfimage::RunInspect(args);
  if (command == "make-firmware") return MakeFirmware(args);
  if (command == "make-flash") return MakeFlash(args);
  if (command == "make-default") return MakeDefault(args);
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  return Usage("unknown command " + command);
}
