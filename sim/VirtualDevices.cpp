// Reading and writing virtual-devices.ini (parsed with inih).
#include "VirtualDevices.h"

#include <ini.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>

#include "VirtualFlash.h"

namespace vbridge {

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const {
    if (f != nullptr) std::fclose(f);
  }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

constexpr size_t kMaxIniSize = 1 << 20;

// The keys of a device section, in the spelling of the documentation.
const char* const kKeys[] = {"VendorID",      "ProductID",       "ChipID",
                             "Compat",        "FlashPart",       "FlashImage",
                             "Busy",          "FailAtCommand",   "UnplugAtCommand",
                             "FlipReadBitAt", "Trace",           "Latency",
                             "Scsi"};

bool EqualsNoCase(const char* a, const char* b) {
  for (; *a != 0 && *b != 0; ++a, ++b) {
    char ca = *a, cb = *b;
    if (ca >= 'a' && ca <= 'z') ca = static_cast<char>(ca - 'a' + 'A');
    if (cb >= 'a' && cb <= 'z') cb = static_cast<char>(cb - 'a' + 'A');
    if (ca != cb) return false;
  }
  return *a == 0 && *b == 0;
}

const char* CanonicalKey(const char* name) {
  for (const char* key : kKeys) {
    if (EqualsNoCase(name, key)) return key;
  }
  return nullptr;
}

// Decimal, or hexadecimal with "0x"; a leading '-' only when allowed.
bool ParseNumber(const std::string& text, bool allowNegative, int64_t* out) {
  size_t i = 0;
  bool negative = false;
  if (allowNegative && i < text.size() && text[i] == '-') {
    negative = true;
    ++i;
  }
  unsigned base = 10;
  if (text.size() - i > 2 && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i >= text.size()) return false;
  uint64_t value = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return false;
    }
    value = value * base + digit;
    if (value > 0xFFFFFFFFull) return false;
  }
  *out = negative ? -static_cast<int64_t>(value) : static_cast<int64_t>(value);
  return true;
}

std::string Unquote(const std::string& value) {
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

// Parser state shared by the line reader and the key handler.
struct ParseState {
  std::string path;
  const std::string* text = nullptr;
  size_t pos = 0;
  int line = 0;               // number of the line inih works on
  bool lineIndented = false;  // it starts with blanks
  std::string lastName;       // key of the previous key line in this section
  std::vector<DeviceConfig> devices;
  std::vector<std::set<std::string>> seen;  // keys given per section
  int errorLine = 0;
  std::string error;          // first error found by the reader or handler

  void Fail(const std::string& message) {
    if (errorLine != 0) return;
    errorLine = line;
    error = path + ":" + std::to_string(line) + ": " + message;
  }
};

// inih line reader over the file text: one call per line, so that the
// parser's line numbers are ours too. Notes each section start.
char* ReadLine(char* str, int num, void* stream) {
  auto* state = static_cast<ParseState*>(stream);
  const std::string& text = *state->text;
  if (state->pos >= text.size() || num <= 1) return nullptr;
  size_t end = text.find('\n', state->pos);
  if (end == std::string::npos) end = text.size();
  std::string raw = text.substr(state->pos, end - state->pos);
  state->pos = end + 1;
  ++state->line;
  if (!raw.empty() && raw.back() == '\r') raw.pop_back();

  if (raw.size() > static_cast<size_t>(num - 1)) {
    state->Fail("line longer than " + std::to_string(num - 1) + " characters");
    raw.resize(static_cast<size_t>(num - 1));
  }
  std::memcpy(str, raw.data(), raw.size());
  str[raw.size()] = '\0';

  // Look at the line the way inih will: byte order mark, leading blanks.
  size_t i = 0;
  if (state->line == 1 && raw.compare(0, 3, "\xEF\xBB\xBF") == 0) i = 3;
  state->lineIndented = i < raw.size() && (raw[i] == ' ' || raw[i] == '\t');
  while (i < raw.size() && (raw[i] == ' ' || raw[i] == '\t')) ++i;
  if (i < raw.size() && raw[i] == '[') {
    state->lastName.clear();
    DeviceConfig device;
    const size_t close = raw.find(']', i);
    device.name = raw.substr(i + 1, close == std::string::npos ? std::string::npos : close - i - 1);
    state->devices.push_back(device);
    state->seen.emplace_back();
  }
  return str;
}

int HandleKey(void* user, const char* /*section*/, const char* name, const char* rawValue) {
  auto* state = static_cast<ParseState*>(user);
  const std::string keyText = name;
  if (state->devices.empty()) {
    state->Fail("key \"" + keyText + "\" stands before the first [section]");
    return 0;
  }
  // inih takes an indented line after a key as the continuation of that
  // key's value; values here are one line each.
  if (state->lineIndented && keyText == state->lastName) {
    state->Fail("key \"" + keyText +
                "\": an indented line continues its value; remove the leading blanks");
    return 0;
  }
  state->lastName = keyText;
  const char* key = CanonicalKey(name);
  if (key == nullptr) {
    state->Fail("key \"" + keyText + "\": unknown key");
    return 0;
  }
  std::set<std::string>& seen = state->seen.back();
  if (!seen.insert(key).second) {
    state->Fail("key \"" + keyText + "\": given twice in section [" +
                state->devices.back().name + "]");
    return 0;
  }

  DeviceConfig& device = state->devices.back();
  const std::string value = rawValue;
  const std::string quoted = "\"" + value + "\"";
  const std::string where = "key \"" + std::string(key) + "\": ";
  int64_t number = 0;
  auto numberIn = [&](int64_t low, int64_t high, bool allowNegative) {
    if (!ParseNumber(value, allowNegative, &number)) {
      state->Fail(where + quoted + " is not a number");
      return false;
    }
    if (number < low || number > high) {
      state->Fail(where + quoted + " is out of range (" + std::to_string(low) + " to " +
                  std::to_string(high) + ")");
      return false;
    }
    return true;
  };

  if (key == kKeys[0] || key == kKeys[1] || key == kKeys[3]) {
    if (!numberIn(0, 0xFFFF, false)) return 0;
    const uint16_t v = static_cast<uint16_t>(number);
    if (key == kKeys[0]) device.vendorId = v;
    if (key == kKeys[1]) device.productId = v;
    if (key == kKeys[3]) device.compat = v;
  } else if (key == kKeys[2]) {
    const std::string chip = Unquote(value);
    if (chip.size() > 4) {
      state->Fail(where + quoted + " is longer than 4 characters");
      return 0;
    }
    device.chipId = chip;
  } else if (key == kKeys[4]) {
    const std::string part = Unquote(value);
    if (VirtualFlash::FindPart(part) < 0) {
      state->Fail(where + "\"" + part + "\" is not a part of the flash-part table");
      return 0;
    }
    device.flashPart = part;
  } else if (key == kKeys[5]) {
    const std::string file = Unquote(value);
    device.flashImage = file.empty() ? std::string() : ResolveRelativeTo(state->path, file);
  } else if (key == kKeys[6]) {
    if (!numberIn(0, 1, false)) return 0;
    device.busy = number == 1;
  } else if (key == kKeys[7] || key == kKeys[8]) {
    if (!numberIn(0, 0xFFFFFFFF, false)) return 0;
    if (key == kKeys[7]) device.failAtCommand = static_cast<uint32_t>(number);
    if (key == kKeys[8]) device.unplugAtCommand = static_cast<uint32_t>(number);
  } else if (key == kKeys[9]) {
    if (!numberIn(-1, 0xFFFFFFFF, true)) return 0;
    device.flipReadBitAt = number;
  } else if (key == kKeys[10]) {
    const std::string file = Unquote(value);
    device.trace = file.empty() ? std::string() : ResolveRelativeTo(state->path, file);
  } else if (key == kKeys[11]) {
    if (!numberIn(0, 1000000, false)) return 0;
    device.latencyUs = static_cast<uint32_t>(number);
  } else if (key == kKeys[12]) {
    if (!numberIn(0, 1, false)) return 0;
    device.scsi = number == 1;
  }
  return 1;
}

std::string LineText(const std::string& text, int line) {
  size_t pos = 0;
  for (int i = 1; i < line && pos != std::string::npos; ++i) {
    pos = text.find('\n', pos);
    if (pos != std::string::npos) ++pos;
  }
  if (pos == std::string::npos || pos > text.size()) return std::string();
  size_t end = text.find('\n', pos);
  std::string s = text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
  if (!s.empty() && s.back() == '\r') s.pop_back();
  if (s.size() > 60) s = s.substr(0, 60) + "...";
  return s;
}

bool WriteWhole(const std::string& path, const void* data, size_t size, std::string* error) {
  FilePtr file(std::fopen(path.c_str(), "wb"));
  if (!file) {
    if (error) *error = "cannot create \"" + path + "\": " + std::strerror(errno);
    return false;
  }
  if (size != 0 && std::fwrite(data, 1, size, file.get()) != size) {
    if (error) *error = "cannot write \"" + path + "\": " + std::strerror(errno);
    return false;
  }
  if (std::fclose(file.release()) != 0) {
    if (error) *error = "cannot write \"" + path + "\": " + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace

std::string ResolveRelativeTo(const std::string& iniPath, const std::string& name) {
  const std::filesystem::path file(name);
  if (file.is_absolute()) return name;
  const std::filesystem::path folder = std::filesystem::path(iniPath).parent_path();
  if (folder.empty()) return name;
  return (folder / file).string();
}

bool VirtualDevices::Load(const std::string& iniPath, std::string* error) {
  path_ = iniPath;
  devices_.clear();

  FilePtr file(std::fopen(iniPath.c_str(), "rb"));
  if (!file) {
    if (error) *error = iniPath + ": cannot open: " + std::strerror(errno);
    return false;
  }
  std::string text;
  char chunk[4096];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof(chunk), file.get())) > 0) {
    text.append(chunk, got);
    if (text.size() > kMaxIniSize) {
      if (error) *error = iniPath + ": larger than " + std::to_string(kMaxIniSize) + " bytes";
      return false;
    }
  }
  if (std::ferror(file.get())) {
    if (error) *error = iniPath + ": cannot read: " + std::strerror(errno);
    return false;
  }
  if (text.find('\0') != std::string::npos) {
    if (error) *error = iniPath + ": not a text file (contains a zero byte)";
    return false;
  }

  ParseState state;
  state.path = iniPath;
  state.text = &text;
  const int r = ini_parse_stream(ReadLine, &state, HandleKey, &state);
  if (r < 0) {
    if (error) *error = iniPath + ": cannot be parsed";
    return false;
  }
  // The first fault wins: ours (reader or handler) or a syntax error inih
  // found on an earlier line.
  if (state.errorLine != 0 && (r == 0 || state.errorLine <= r)) {
    if (error) *error = state.error;
    return false;
  }
  if (r > 0) {
    if (error) {
      *error = iniPath + ":" + std::to_string(r) + ": syntax error (expected [section], " +
               "Key=value or a comment): \"" + LineText(text, r) + "\"";
    }
    return false;
  }
  devices_ = std::move(state.devices);
  return true;
}

DeviceConfig DefaultDeviceConfig() {
  DeviceConfig device;
  device.name = "bridge";
  device.vendorId = 0x3F1C;
  device.productId = 0x0001;
  device.chipId = "318a";
  device.compat = 0x0154;
  device.flashPart = "Winbond W25Q80BL";
  device.flashImage = kDefaultFlashImageName;
  return device;
}

bool WriteDefaultVirtualDevices(const std::string& iniPath, std::string* error) {
  const DeviceConfig d = DefaultDeviceConfig();
  char ids[160];
  std::snprintf(ids, sizeof(ids), "VendorID=0x%04X\nProductID=0x%04X\nChipID=%s\nCompat=0x%04X\n",
                static_cast<unsigned>(d.vendorId), static_cast<unsigned>(d.productId),
                d.chipId.c_str(), static_cast<unsigned>(d.compat));
  std::string text;
  text += "; Virtual devices of zedrikfu-sim, one section per USB device in bus order.\n";
  text += "; Numbers are decimal or hexadecimal (0x...); file names are relative to this folder.\n";
  text += "\n[" + d.name + "]\n";
  text += "; USB ids, chip id (version block bytes 0-3) and compatibility word (bytes 8-9)\n";
  text += ids;
  text += "; a part name of the flash-part table: size, erase block, identification replies\n";
  text += "FlashPart=" + d.flashPart + "\n";
  text += "; flash contents; created 0xFF-filled if missing; every erase and program is\n";
  text += "; written through to this file at once\n";
  text += "FlashImage=" + d.flashImage + "\n";
  text += "; 1: the device cannot be opened (held by another program)\n";
  text += "Busy=0\n";
  text += "; N > 0: the Nth command this device receives fails (counted from 1)\n";
  text += "FailAtCommand=0\n";
  text += "; N > 0: from the Nth command on, the device is gone\n";
  text += "UnplugAtCommand=0\n";
  text += "; A >= 0: every flash read returns bit 0 of byte A inverted\n";
  text += "FlipReadBitAt=-1\n";
  text += "; file name: one line per command received, appended\n";
  text += "Trace=\n";
  text += "; microseconds each command takes (0: at once)\n";
  text += "Latency=0\n";
  return WriteWhole(iniPath, text.data(), text.size(), error);
}

bool WriteFlashImageFile(const std::string& imagePath, const std::string& partName,
                         const std::vector<uint8_t>& content, std::string* error) {
  VirtualFlash flash;
  if (!flash.Init(partName, error)) return false;
  if (content.size() > flash.Size()) {
    if (error) {
      *error = "flash image of " + std::to_string(content.size()) + " bytes does not fit \"" +
               partName + "\" (" + std::to_string(flash.Size()) + " bytes)";
    }
    return false;
  }
  std::vector<uint8_t> bytes(flash.Size(), 0xFF);
  std::copy(content.begin(), content.end(), bytes.begin());
  return WriteWhole(imagePath, bytes.data(), bytes.size(), error);
}

}  // namespace vbridge
