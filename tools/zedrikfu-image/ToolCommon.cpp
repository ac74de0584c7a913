#include "ToolCommon.h"

#include <cctype>
#include <cstdio>
#include <fstream>

namespace zfimage {

bool ReadWholeFile(const std::string& path, std::vector<unsigned char>* out, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot open " + path;
    return false;
  }
  in.seekg(0, std::ios::end);
  const std::streamoff length = in.tellg();
  if (length < 0) {
    *error = "cannot read " + path;
    return false;
  }
  if (static_cast<uint64_t>(length) > kMaxInputFile) {
    *error = path + " is too large for a flash image or firmware file";
    return false;
  }
  in.seekg(0, std::ios::beg);
  out->assign(static_cast<size_t>(length), 0);
  if (length > 0 && !in.read(reinterpret_cast<char*>(out->data()), length)) {
    *error = "cannot read " + path;
    return false;
  }
  return true;
}

bool WriteWholeFile(const std::string& path, const std::vector<unsigned char>& data,
                    std::string* error) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) {
    *error = "cannot create " + path;
    return false;
  }
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  out.close();
  if (!out) {
    *error = "cannot write " + path;
    return false;
  }
  return true;
}

bool ParseNumber(const std::string& text, uint64_t max, uint64_t* value) {
  if (text.empty()) return false;
  size_t i = 0;
  unsigned base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    i = 2;
  }
  uint64_t result = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (base == 16 && std::isxdigit(static_cast<unsigned char>(c))) {
      digit = static_cast<unsigned>(std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
    } else {
      return false;
    }
    if (result > (max - digit) / base) return false;
    result = result * base + digit;
  }
  *value = result;
  return true;
}

bool ParseVariant(const std::string& text, SROM_BRIDGEIC* variant) {
  std::string upper;
  for (char c : text) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (upper == "A" || upper == "QK9318A") {
    *variant = BRIDGEIC_QK9318A;
    return true;
  }
  if (upper == "E" || upper == "QK9318E") {
    *variant = BRIDGEIC_QK9318E;
    return true;
  }
  return false;
}

const char* VariantName(SROM_BRIDGEIC variant) {
  switch (variant) {
    case BRIDGEIC_QK9318A:
      return "QK9318A";
    case BRIDGEIC_QK9318E:
      return "QK9318E";
    default:
      return "unknown";
  }
}

std::string VersionText(uint16_t version) {
  char text[16];
  std::snprintf(text, sizeof text, "%d%d.%d%d", (version >> 12) & 0xF, (version >> 8) & 0xF,
                (version >> 4) & 0xF, version & 0xF);
  return text;
}

}  // namespace zfimage
