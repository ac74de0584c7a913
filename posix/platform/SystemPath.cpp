// Paths of the POSIX builds (SystemPath.h): the bytes go to the system as
// they are.
#include "SystemPath.h"

#include <sys/stat.h>

std::FILE* OpenPathFile(const std::string& path, const char* mode) {
  return std::fopen(path.c_str(), mode);
}

PathKind KindOfPath(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return PathKind::kNone;
  return S_ISDIR(st.st_mode) ? PathKind::kFolder : PathKind::kOther;
}
