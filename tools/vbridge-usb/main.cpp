// vbridge-usb: runs a program with the virtual devices of a
// virtual-devices.ini presented as emulated USB devices and (Scsi=1, the
// default) as the SCSI disks of USB storage bridges.
//
//   vbridge-usb [--delay-ms N] FILE -- PROGRAM [ARGS...]
//
// --delay-ms N answers every request after N milliseconds, like a slow
// bridge (tests use it to keep a progress dialog on the screen).
// The devices answer control requests in the USB encoding and SG_IO on their
// SCSI generic nodes in the SCSI encoding through the virtual bridge, with the
// faults and traces of FILE (UsbEmulation.h). The program runs with umockdev's preload library
// and sees only the emulated devices. The exit status is the program's (128 +
// the signal number when a signal ended it); 125 when the devices cannot be
// set up, 127 when the program cannot be started.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "UsbEmulation.h"
#include "VirtualBus.h"

extern char** environ;

namespace {

constexpr int kSetupFailed = 125;
constexpr int kCannotRun = 127;

int Usage() {
  std::fprintf(stderr, "usage: vbridge-usb [--delay-ms N] FILE -- PROGRAM [ARGS...]\n");
  return 2;
}

// The environment of the program: ours (which holds UMOCKDEV_DIR once the
// emulation runs) with the preload library put first in LD_PRELOAD.
std::vector<std::string> ChildEnvironment() {
  std::vector<std::string> env;
  std::string preload = vbridge::UsbEmulation::kPreloadLibrary;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    std::string entry = *e;
    if (entry.compare(0, 11, "LD_PRELOAD=") == 0) {
      if (entry.size() > 11) preload += ":" + entry.substr(11);
      continue;
    }
    env.push_back(entry);
  }
  env.push_back("LD_PRELOAD=" + preload);
  return env;
}

// Spawn attributes that give the program the default handling of the
// signals this process ignores.
class SpawnAttributes {
 public:
  SpawnAttributes() {
    posix_spawnattr_init(&attributes_);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGQUIT);
    posix_spawnattr_setsigdefault(&attributes_, &defaults);
    posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGDEF);
  }
  ~SpawnAttributes() { posix_spawnattr_destroy(&attributes_); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  const posix_spawnattr_t* Get() const { return &attributes_; }

 private:
  posix_spawnattr_t attributes_;
};

}  // namespace

int main(int argc, char** argv) {
  int first = 1;
  unsigned delayMs = 0;
  if (argc > 2 && std::strcmp(argv[1], "--delay-ms") == 0) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(argv[2], &end, 10);
    if (end == argv[2] || *end != '\0' || value > 10000) return Usage();
    delayMs = static_cast<unsigned>(value);
    first = 3;
  }
  if (argc < first + 3 || std::strcmp(argv[first + 1], "--") != 0) return Usage();
  const std::string iniPath = argv[first];

  vbridge::VirtualBus bus;
  std::string error;
  if (!bus.LoadFile(iniPath, &error)) {
    std::fprintf(stderr, "vbridge-usb: %s\n", error.c_str());
    return kSetupFailed;
  }
  vbridge::UsbEmulation emulation;
  emulation.SetCommandDelay(delayMs);
  if (!emulation.Start(&bus, &error)) {
    std::fprintf(stderr, "vbridge-usb: %s\n", error.c_str());
    return kSetupFailed;
  }

  std::vector<std::string> env = ChildEnvironment();
  std::vector<char*> envp;
  for (std::string& entry : env) envp.push_back(&entry[0]);
  envp.push_back(nullptr);
  std::vector<char*> args(argv + first + 2, argv + argc);
  args.push_back(nullptr);

  // Interrupts from the terminal reach the program, which decides; this
  // process stays to serve the devices until it has ended.
  std::signal(SIGINT, SIG_IGN);
  std::signal(SIGQUIT, SIG_IGN);
  // ... and the program starts with the default handling of both.
  SpawnAttributes attributes;
  pid_t child = 0;
  const int spawned =
      posix_spawnp(&child, args[0], nullptr, attributes.Get(), args.data(), envp.data());
  if (spawned != 0) {
    std::fprintf(stderr, "vbridge-usb: cannot run %s: %s\n", args[0], std::strerror(spawned));
    return kCannotRun;
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) {
      std::fprintf(stderr, "vbridge-usb: waitpid: %s\n", std::strerror(errno));
      return kCannotRun;
    }
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return kCannotRun;
}
