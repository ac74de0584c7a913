#include "AppMain.h"

std::string ProgramFolder(const char* argv0) {
  std::string path = argv0 != nullptr ? argv0 : "";
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}
