// A logind inhibitor: while it is held, the machine neither sleeps nor shuts
// down, and logging out waits (org.freedesktop.login1.Manager.Inhibit on the
// system bus, mode "block"). The inhibitor lives as long as the file
// descriptor logind hands out stays open.
#pragma once

#include <string>

class CLogindInhibitor {
 public:
  // How long logind is given to answer.
  static constexpr int kCallTimeoutMs = 5000;

  CLogindInhibitor() = default;
  ~CLogindInhibitor() { Release(); }
  CLogindInhibitor(const CLogindInhibitor&) = delete;
  CLogindInhibitor& operator=(const CLogindInhibitor&) = delete;

  // Takes a block inhibitor for "sleep:shutdown". False, with the reason in
  // `error`, when there is no system bus, no logind on it, or logind
  // refuses (a build without logind support always refuses).
  bool Take(const char* who, const char* why, std::string* error);
  // Gives the inhibitor back (closes the descriptor).
  void Release();
  bool Held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};
