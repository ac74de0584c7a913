// Where a path reaches the system. Paths are UTF-8 text on every platform;
// each platform opens and looks at them its way:
//   POSIX (posix/platform/SystemPath.cpp): fopen and stat, the bytes as they are.
//   Windows (windows/platform/SystemPath.cpp): _wfopen and the wide file
//   attributes, the path converted to UTF-16, so that a name outside the
//   ANSI code page is found too.
#pragma once

#include <cstdio>
#include <string>

// Opens the file at `path` as std::fopen does with `mode`; nullptr with errno
// set when it cannot.
std::FILE* OpenPathFile(const std::string& path, const char* mode);

// What a path names: nothing (or nothing that can be looked at), a folder,
// or anything else (a file, a device, a FIFO).
enum class PathKind { kNone, kFolder, kOther };
PathKind KindOfPath(const std::string& path);

inline bool PathExists(const std::string& path) { return KindOfPath(path) != PathKind::kNone; }
