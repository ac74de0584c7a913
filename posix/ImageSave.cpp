#include "ImageSave.h"

#include "FileDescriptor.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "SignalHold.h"

namespace {

// Shown when a signal comes while an image is saved.
const char kSaveNotice[] =
    "\nZEDRIKFU: the flash image is being saved; the program ends once the file is complete.\n";

// Links followed at most, as the kernel does (ELOOP beyond).
constexpr int kMaxLinkHops = 40;

std::string SystemError(const std::string& what) { return what + ": " + std::strerror(errno); }

// The folder part of a path with its trailing '/', or "" for a bare name.
std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

const char* KindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISLNK(mode)) return "a symbolic link";
  return "not a regular file";
}

// The path a chain of symbolic links ends at (the path itself when it is no
// link); the end may not exist yet. "" with `*error` for a loop.
std::string ResolveLinks(const std::string& path, std::string* error) {
  std::string current = path;
  for (int hop = 0; hop < kMaxLinkHops; ++hop) {
    struct stat st;
    if (lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
    std::vector<char> target(static_cast<size_t>(st.st_size > 0 ? st.st_size : 255) + 2);
    const ssize_t n = readlink(current.c_str(), target.data(), target.size() - 1);
    if (n < 0 || static_cast<size_t>(n) >= target.size() - 1) {
      *error = n < 0 ? SystemError("cannot read the link " + current)
                     : "the link " + current + " changed while it was read";
      return "";
    }
    const std::string next(target.data(), static_cast<size_t>(n));
    current = (!next.empty() && next[0] == '/') ? next : FolderOf(current) + next;
  }
  *error = "too many levels of symbolic links";
  return "";
}

// The file the image goes to: `path` itself for a new file, the end of its
// links otherwise. "" with `*error` when the path cannot take the image.
std::string SaveTarget(const std::string& path, SaveMode mode, std::string* error) {
  const std::string target = mode == SaveMode::kNewFile ? path : ResolveLinks(path, error);
  if (target.empty()) return "";
  struct stat st;
  if (lstat(target.c_str(), &st) != 0) {
    if (errno == ENOENT) return target;
    *error = SystemError("cannot look at " + target);
    return "";
  }
  if (mode == SaveMode::kNewFile) {
    *error = std::string("it exists (") + (S_ISREG(st.st_mode) ? "a file" : KindOf(st.st_mode)) +
             "); a backup never replaces anything: name a new file";
    return "";
  }
  if (!S_ISREG(st.st_mode)) {
    *error = std::string(target == path ? "it" : target) + " is " + KindOf(st.st_mode) +
             ", not a regular file; an image is only saved to a regular file";
    return "";
  }
  return target;
}

// The temporary file beside the target: removed when it goes, unless it was
// renamed into place.
class TemporaryFile {
 public:
  explicit TemporaryFile(const std::string& target) {
    const std::string pattern = target + ".XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    fd_ = mkstemp(name.data());
    if (fd_ >= 0) path_ = name.data();
  }
  ~TemporaryFile() {
    Close();
    if (!path_.empty()) unlink(path_.c_str());
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  int fd() const { return fd_; }
  const std::string& path() const { return path_; }
  int Close() {
    const int result = fd_ >= 0 ? close(fd_) : 0;
    fd_ = -1;
    return result;
  }
  void Renamed() { path_.clear(); }

 private:
  int fd_ = -1;
  std::string path_;
};

// Holds the terminating signals while it lives, unless the thread holds them
// already (the write's guard); a signal that came is sent again once the
// hold has ended, with the program's own action for it.
class SaveSignalHold {
 public:
  SaveSignalHold() {
    sigset_t mask;
    if (pthread_sigmask(SIG_BLOCK, nullptr, &mask) != 0) return;
    for (int signo : CSignalHold::kSignals) {
      if (sigismember(&mask, signo) == 0) {
        hold_.Hold(kSaveNotice);
        return;
      }
    }
  }
  ~SaveSignalHold() {
    const int received = hold_.Release();
    if (received != 0) raise(received);
  }
  SaveSignalHold(const SaveSignalHold&) = delete;
  SaveSignalHold& operator=(const SaveSignalHold&) = delete;

 private:
  CSignalHold hold_;
};


// Puts the complete temporary file under the target's name. A new file is
// linked, which fails when the name was taken since it was looked at; a
// file system without hard links gets a rename after one more look.
bool PutInPlace(TemporaryFile* file, const std::string& target, SaveMode mode,
                std::string* error) {
  if (mode == SaveMode::kReplace) {
    if (rename(file->path().c_str(), target.c_str()) != 0) {
      *error = SystemError("cannot rename it to " + target);
      return false;
    }
    file->Renamed();
    return true;
  }
  if (link(file->path().c_str(), target.c_str()) == 0) return true;  // the temporary goes
  if (errno == EEXIST) {
    *error = "it exists (it appeared while the image was saved); a backup never replaces "
             "anything: name a new file";
    return false;
  }
  struct stat st;
  if (lstat(target.c_str(), &st) == 0 || errno != ENOENT ||
      rename(file->path().c_str(), target.c_str()) != 0) {
    *error = SystemError("cannot give it the name " + target);
    return false;
  }
  file->Renamed();
  return true;
}

}  // namespace

bool CheckSaveTarget(const std::string& path, SaveMode mode, std::string* error) {
  return !SaveTarget(path, mode, error).empty();
}

bool SaveImageFile(const std::string& path, const std::vector<unsigned char>& bytes,
                   std::string* error, SaveMode mode) {
  SaveSignalHold signals;  // ends last: the temporary file is gone by then
  const std::string target = SaveTarget(path, mode, error);
  if (target.empty()) return false;
  const std::string folder = FolderOf(target);
  TemporaryFile file(target);
  if (file.fd() < 0) {
    *error = SystemError("cannot create a file in " + (folder.empty() ? "." : folder));
    return false;
  }
  if (!WriteAll(file.fd(), bytes.data(), bytes.size())) {
    *error = SystemError("cannot write");
    return false;
  }
  if (fchmod(file.fd(), 0644) != 0) {
    *error = SystemError("cannot set its permissions");
    return false;
  }
  if (fsync(file.fd()) != 0) {
    *error = SystemError("cannot flush it to the disk");
    return false;
  }
  if (file.Close() != 0) {
    *error = SystemError("cannot close it");
    return false;
  }
  if (!PutInPlace(&file, target, mode, error)) return false;
  // The new name itself reaches the disk with its folder.
  FileDescriptor dir(open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY));
  if (dir.get() >= 0) fsync(dir.get());
  return true;
}
