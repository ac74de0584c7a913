// Helpers shared by the commands of zedrikfu-image.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Types.h"

namespace zfimage {

// Exit statuses of the tool.
constexpr int kExitOk = 0;
constexpr int kExitRefused = 1;  // a file the updater would refuse
constexpr int kExitUsage = 2;    // bad arguments, unreadable or unwritable file

// Files larger than this are not flash images or firmware files.
constexpr uint64_t kMaxInputFile = 64u * 1024 * 1024;

bool ReadWholeFile(const std::string& path, std::vector<unsigned char>* out, std::string* error);
bool WriteWholeFile(const std::string& path, const std::vector<unsigned char>& data,
                    std::string* error);

// Unsigned number in decimal or 0x-hexadecimal, within [0, max].
bool ParseNumber(const std::string& text, uint64_t max, uint64_t* value);
// "A" or "E" (also "QK9318A", "QK9318E", any case).
bool ParseVariant(const std::string& text, SROM_BRIDGEIC* variant);

const char* VariantName(SROM_BRIDGEIC variant);
// "%d%d.%d%d" of the four nibbles, most significant first.
std::string VersionText(uint16_t version);

int RunInspect(const std::vector<std::string>& args);

}  // namespace zfimage
