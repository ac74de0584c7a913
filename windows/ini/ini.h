// The part of the inih interface that sim/VirtualDevices.cpp uses, for the
// Windows build (which has no inih library): ini_parse_stream is served by
// the reader in windows/IniStream.h, which follows the same rules.
#pragma once

#include "../IniStream.h"

typedef int (*ini_handler)(void* user, const char* section, const char* name, const char* value);
typedef char* (*ini_reader)(char* str, int num, void* stream);

inline int ini_parse_stream(ini_reader reader, void* stream, ini_handler handler, void* user) {
  return zfwin::ParseIniStream(reader, stream, handler, user);
}
