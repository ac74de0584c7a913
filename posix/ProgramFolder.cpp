#include "UpdaterRun.h"

#include <sys/stat.h>

std::string ProgramFolder(const char* argv0) {
  std::string path = argv0 != nullptr ? argv0 : "";
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string ReleaseFolder(const CliOptions& options, const char* argv0) {
  std::string folder = options.dir.empty() ? ProgramFolder(argv0) : options.dir;
  if (!folder.empty() && folder.back() != '/') folder += '/';
  // A firmware file opened from a release folder (a file manager starts
  // "zedrikfu --firmware FILE"): its folder holds the release's ZEDRIKFU.ini.
  struct stat st;
  if (options.dir.empty() && !options.firmware.empty() &&
      stat((folder + "ZEDRIKFU.ini").c_str(), &st) != 0) {
    const size_t slash = options.firmware.rfind('/');
    folder = slash == std::string::npos ? std::string() : options.firmware.substr(0, slash + 1);
  }
  return folder;
}
