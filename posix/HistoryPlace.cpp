// The POSIX side of the update history (History.h): its place under the XDG
// state folder, the folders made private to the user, the append in one
// write at the end followed by fsync, and SHA-256 through GLib's GChecksum
// (GLib is linked already for the logind inhibitor's D-Bus client).
#include "History.h"

#include "FileDescriptor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <glib.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

std::string SystemCause(const std::string& what, int number) {
  return what + ": " + std::strerror(number);
}

}  // namespace

std::string HistoryFilePath() {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return std::string(state) + "/zedrikfu/history.jsonl";
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] != '/') return std::string();
  return std::string(home) + "/.local/state/zedrikfu/history.jsonl";
}

bool UtcCalendarTime(std::time_t when, std::tm* out) { return gmtime_r(&when, out) != nullptr; }

std::string Sha256Hex(const unsigned char* data, size_t size) {
  std::unique_ptr<GChecksum, decltype(&g_checksum_free)> checksum(
      g_checksum_new(G_CHECKSUM_SHA256), &g_checksum_free);
  if (!checksum) return std::string();
  // g_checksum_update takes a signed length: large inputs go in pieces.
  constexpr size_t kPiece = size_t{1} << 30;
  for (size_t done = 0; done < size; done += kPiece) {
    const size_t piece = size - done < kPiece ? size - done : kPiece;
    g_checksum_update(checksum.get(), data + done, static_cast<gssize>(piece));
  }
  const gchar* hex = g_checksum_get_string(checksum.get());
  return hex != nullptr ? std::string(hex) : std::string();
}

bool MakeFolder(const std::string& folder, std::string* cause) {
  // The folders made are the user's alone, as the XDG state folder is.
  if (mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST) return true;
  *cause = SystemCause("cannot make the folder " + folder, errno);
  return false;
}

bool AppendToFileDurably(const std::string& path, const std::string& bytes, std::string* cause) {
  const FileDescriptor fd(open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600));
  if (fd.get() < 0) {
    *cause = SystemCause("cannot open " + path, errno);
    return false;
  }
  struct stat st {};
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    *cause = "cannot append to " + path + ": it is not a regular file";
    return false;
  }
  // A last line without its line break (an append cut short) is ended
  // first, in the same write, so that the new record stands on its own line.
  std::string data = bytes;
  char last = '\n';
  if (st.st_size > 0 && pread(fd.get(), &last, 1, st.st_size - 1) == 1 && last != '\n') {
    data.insert(data.begin(), '\n');
  }
  if (!WriteAll(fd.get(), data.data(), data.size())) {
    *cause = SystemCause("cannot write to " + path, errno);
    return false;
  }
  if (fsync(fd.get()) != 0) {
    *cause = SystemCause("cannot flush " + path + " to the disk", errno);
    return false;
  }
  return true;
}

FileHandle OpenRegularFile(const std::string& path, bool* missing, std::string* cause) {
  *missing = false;
  // O_NONBLOCK: a FIFO in the file's place is refused rather than waited on.
  FileDescriptor fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (fd.get() < 0) {
    *missing = errno == ENOENT;
    *cause = std::strerror(errno);
    return FileHandle();
  }
  struct stat st {};
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    *cause = "it is not a regular file";
    return FileHandle();
  }
  FileHandle file(fdopen(fd.get(), "rb"));
  if (!file) {
    *cause = std::strerror(errno);
    return FileHandle();
  }
  fd.release();
  return file;
}
