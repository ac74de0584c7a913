// Reading and writing virtual-devices.ini (parsed with inih).
#include "VirtualDevices.h"

#include <ini.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <type_traits>

#include "SystemPath.h"
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

bool EqualsNoCase(const char* a, const char* b) {
  for (; *a != 0 && *b != 0; ++a, ++b) {
    char ca = *a, cb = *b;
    if (ca >= 'a' && ca <= 'z') ca = static_cast<char>(ca - 'a' + 'A');
    if (cb >= 'a' && cb <= 'z') cb = static_cast<char>(cb - 'a' + 'A');
    if (ca != cb) return false;
  }
  return *a == 0 && *b == 0;
}

const DeviceKey* FindKey(const char* name) {
  for (const DeviceKey& key : DeviceKeys()) {
    if (EqualsNoCase(name, key.name)) return &key;
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
  const DeviceKey* key = FindKey(name);
  if (key == nullptr) {
    state->Fail("key \"" + keyText + "\": unknown key");
    return 0;
  }
  std::set<std::string>& seen = state->seen.back();
  if (!seen.insert(key->name).second) {
    state->Fail("key \"" + keyText + "\": given twice in section [" +
                state->devices.back().name + "]");
    return 0;
  }
  std::string error;
  if (!ApplyDeviceKey(*key, rawValue, state->path, &state->devices.back(), &error)) {
    state->Fail("key \"" + std::string(key->name) + "\": " + error);
    return 0;
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
  FilePtr file(OpenPathFile(path, "wb"));
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

// The store functions of the key table: a checked number or text into one
// field of the device.
template <auto Field>
void StoreNumber(DeviceConfig* device, int64_t number, const std::string& /*text*/) {
  using Type = std::remove_reference_t<decltype(device->*Field)>;
  device->*Field = static_cast<Type>(number);
}

template <auto Field>
void StoreText(DeviceConfig* device, int64_t /*number*/, const std::string& text) {
  device->*Field = text;
}

// The values of a new file that differ from the keys' defaults: its bridge
// keeps the flash in a file beside it.
struct NewFileValue {
  const char* key;
  const char* value;
};
const NewFileValue kNewFileValues[] = {{"FlashImage", kDefaultFlashImageName}};

}  // namespace

const std::vector<DeviceKey>& DeviceKeys() {
  using K = KeyKind;
  static const std::vector<DeviceKey> keys = {
      {"VendorID", K::Number, 0, 0xFFFF, "0x3F1C", "USB vendor id of the device",
       StoreNumber<&DeviceConfig::vendorId>},
      {"ProductID", K::Number, 0, 0xFFFF, "0x0001", "USB product id of the device",
       StoreNumber<&DeviceConfig::productId>},
      {"ChipID", K::Text, 0, 4, "318a",
       "version block bytes 0-3: 318a (QK9318A) or 318e (QK9318E); other text: not a bridge",
       StoreText<&DeviceConfig::chipId>},
      {"Compat", K::Number, 0, 0xFFFF, "0x0154",
       "compatibility word of the version block (bytes 8-9)", StoreNumber<&DeviceConfig::compat>},
      {"FlashPart", K::PartName, 0, 0, "Winbond W25Q80BL",
       "a part name of the flash-part table: size, erase block, identification replies",
       StoreText<&DeviceConfig::flashPart>},
      {"FlashImage", K::File, 0, 0, "",
       "flash contents; created 0xFF-filled if missing; every erase and program is\n"
       "written through to this file at once; empty: kept in memory only",
       StoreText<&DeviceConfig::flashImage>},
      {"Busy", K::Number, 0, 1, "0", "1: the device cannot be opened (held by another program)",
       StoreNumber<&DeviceConfig::busy>},
      {"FailAtCommand", K::Number, 0, 0xFFFFFFFF, "0",
       "N > 0: the Nth command this device receives fails (counted from 1)",
       StoreNumber<&DeviceConfig::failAtCommand>},
      {"UnplugAtCommand", K::Number, 0, 0xFFFFFFFF, "0",
       "N > 0: from the Nth command on, the device is gone",
       StoreNumber<&DeviceConfig::unplugAtCommand>},
      {"FlipReadBitAt", K::Number, -1, 0xFFFFFFFF, "-1",
       "A >= 0: every flash read returns bit 0 of byte A inverted",
       StoreNumber<&DeviceConfig::flipReadBitAt>},
      {"Trace", K::File, 0, 0, "", "file name: one line per command received, appended",
       StoreText<&DeviceConfig::trace>},
      {"Latency", K::Number, 0, 1000000, "0",
       "microseconds each command takes (0: at once), to watch a run at the pace of\n"
       "real hardware", StoreNumber<&DeviceConfig::latencyUs>},
      {"Scsi", K::Number, 0, 1, "1",
       "1: vbridge-usb also presents the device as the SCSI disk of a USB storage\n"
       "bridge (/dev/sgN, /dev/sdX); 0: as a USB device only",
       StoreNumber<&DeviceConfig::scsi>},
  };
  return keys;
}

bool ApplyDeviceKey(const DeviceKey& key, const std::string& value, const std::string& iniPath,
                    DeviceConfig* device, std::string* error) {
  const std::string quoted = "\"" + value + "\"";
  auto fail = [error](const std::string& message) {
    if (error != nullptr) *error = message;
    return false;
  };
  switch (key.kind) {
    case KeyKind::Number: {
      int64_t number = 0;
      if (!ParseNumber(value, key.low < 0, &number)) return fail(quoted + " is not a number");
      if (number < key.low || number > key.high) {
        return fail(quoted + " is out of range (" + std::to_string(key.low) + " to " +
                    std::to_string(key.high) + ")");
      }
      key.store(device, number, std::string());
      return true;
    }
    case KeyKind::Text: {
      const std::string text = Unquote(value);
      if (static_cast<int64_t>(text.size()) > key.high) {
        return fail(quoted + " is longer than " + std::to_string(key.high) + " characters");
      }
      key.store(device, 0, text);
      return true;
    }
    case KeyKind::PartName: {
      const std::string part = Unquote(value);
      if (VirtualFlash::FindPart(part) < 0) {
        return fail("\"" + part + "\" is not a part of the flash-part table");
      }
      key.store(device, 0, part);
      return true;
    }
    case KeyKind::File: {
      const std::string file = Unquote(value);
      key.store(device, 0, file.empty() ? std::string() : ResolveRelativeTo(iniPath, file));
      return true;
    }
  }
  return fail("key of an unknown kind");
}

DeviceConfig::DeviceConfig() {
  // The defaults are values of the file's own syntax: a default that does
  // not suit its key is caught by the tests, which compare a fresh
  // description with the values documented for a new file.
  for (const DeviceKey& key : DeviceKeys()) {
    ApplyDeviceKey(key, key.defaultValue, std::string(), this, nullptr);
  }
}

// The paths are UTF-8 (u8path, u8string): on Windows a plain path would be
// taken in the ANSI code page.
std::string ResolveRelativeTo(const std::string& iniPath, const std::string& name) {
  const std::filesystem::path file = std::filesystem::u8path(name);
  if (file.is_absolute()) return name;
  const std::filesystem::path folder = std::filesystem::u8path(iniPath).parent_path();
  if (folder.empty()) return name;
  return (folder / file).u8string();
}

bool VirtualDevices::Load(const std::string& iniPath, std::string* error) {
  path_ = iniPath;
  devices_.clear();

  FilePtr file(OpenPathFile(iniPath, "rb"));
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
  for (const NewFileValue& v : kNewFileValues) {
    const DeviceKey* key = FindKey(v.key);
    if (key != nullptr) ApplyDeviceKey(*key, v.value, std::string(), &device, nullptr);
  }
  return device;
}

bool WriteDefaultVirtualDevices(const std::string& iniPath, std::string* error) {
  const DeviceConfig d = DefaultDeviceConfig();
  std::string text;
  text += "; Virtual devices of zedrikfu-sim, one section per USB device in bus order.\n";
  text += "; Numbers are decimal or hexadecimal (0x...); file names are relative to this folder.\n";
  text += "\n[" + d.name + "]\n";
  for (const DeviceKey& key : DeviceKeys()) {
    std::string value = key.defaultValue;
    for (const NewFileValue& v : kNewFileValues) {
      if (FindKey(v.key) == &key) value = v.value;
    }
    // One comment line per line of the key's comment, then the key.
    const std::string comment = key.comment;
    size_t from = 0;
    for (;;) {
      const size_t end = comment.find('\n', from);
      text += "; " + comment.substr(from, end == std::string::npos ? end : end - from) + "\n";
      if (end == std::string::npos) break;
      from = end + 1;
    }
    text += std::string(key.name) + "=" + value + "\n";
  }
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
