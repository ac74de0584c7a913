#include "WorkProgress.h"

#include <atomic>
#include <cstdio>

namespace {

// Phase in the top 4 bits, done and total in 30 bits each: 1 GiB is far
// above the largest run (2^24 bytes of flash, each byte erased, written and
// verified once), and one 64-bit word keeps the three consistent.
// The failure word: flag and phase (8 bits), mismatch (1 bit), length (16
// bits), address (32 bits).
constexpr uint64_t kField = (uint64_t{1} << 30) - 1;

uint64_t Clamp(uint64_t value) { return value > kField ? kField : value; }

// "480 bytes", "20 KiB", "16 MiB": whole units, the larger one from ten on.
std::string Bytes(uint64_t bytes) {
  char text[32];
  if (bytes >= 10 * 1024 * 1024) {
    std::snprintf(text, sizeof text, "%llu MiB", static_cast<unsigned long long>(bytes >> 20));
  } else if (bytes >= 10 * 1024) {
    std::snprintf(text, sizeof text, "%llu KiB", static_cast<unsigned long long>(bytes >> 10));
  } else {
    std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
  }
  return text;
}

}  // namespace

void CWorkReport::Reset() {
  phases_.store(0);
  work_.store(0);
  failure_.store(0);
  verdict_.store(static_cast<uint8_t>(Verdict::kRunning));
}

void CWorkReport::Work(WorkPhase phase, uint64_t done, uint64_t total) {
  phases_.fetch_or(static_cast<uint8_t>(1u << static_cast<unsigned>(phase)));
  work_.store((static_cast<uint64_t>(phase) << 60) | (Clamp(done) << 30) | Clamp(total));
}

void CWorkReport::Failure(WorkPhase phase, uint32_t address, uint32_t length, bool mismatch) {
  uint64_t word = (uint64_t{0x80} | static_cast<uint64_t>(phase)) << 56;
  if (mismatch) word |= uint64_t{1} << 48;
  word |= static_cast<uint64_t>(length & 0xFFFFu) << 32;
  word |= address;
  uint64_t none = 0;
  // The first failure of a run is its cause.
  failure_.compare_exchange_strong(none, word);
}

void CWorkReport::End(bool completed) {
  uint8_t running = static_cast<uint8_t>(Verdict::kRunning);
  verdict_.compare_exchange_strong(
      running, static_cast<uint8_t>(completed ? Verdict::kCompleted : Verdict::kFailed));
}

WorkSnapshot CWorkReport::Current() const {
  const uint64_t word = work_.load();
  WorkSnapshot snapshot;
  snapshot.phase = static_cast<WorkPhase>(word >> 60);
  snapshot.done = (word >> 30) & kField;
  snapshot.total = word & kField;
  return snapshot;
}

WorkFailure CWorkReport::LastFailure() const {
  const uint64_t word = failure_.load();
  WorkFailure failure;
  if ((word >> 63) == 0) return failure;
  failure.failed = true;
  failure.phase = static_cast<WorkPhase>((word >> 56) & 0x7F);
  failure.mismatch = ((word >> 48) & 1) != 0;
  failure.length = static_cast<uint32_t>((word >> 32) & 0xFFFF);
  failure.address = static_cast<uint32_t>(word & 0xFFFFFFFFu);
  return failure;
}

const char* WorkPhaseName(WorkPhase phase) {
  switch (phase) {
    case WorkPhase::kReading:
      return "reading";
    case WorkPhase::kErasing:
      return "erasing";
    case WorkPhase::kWriting:
      return "writing";
    case WorkPhase::kVerifying:
      return "verifying";
    case WorkPhase::kNone:
      break;
  }
  return "";
}

std::string WorkText(const WorkSnapshot& work, double elapsedSeconds) {
  if (work.phase == WorkPhase::kNone || work.total == 0) return "";
  std::string text =
      std::string(WorkPhaseName(work.phase)) + ", " + Bytes(work.done) + " of " + Bytes(work.total);
  if (elapsedSeconds >= 1.0 && work.done > 0 && work.done < work.total) {
    // The rest at the pace so far: the run's bytes are its erases, writes
    // and verifies together, so the pace is an average over the phases.
    const double left = elapsedSeconds * static_cast<double>(work.total - work.done) /
                        static_cast<double>(work.done);
    char estimate[48];
    if (left >= 120) {
      std::snprintf(estimate, sizeof estimate, ", about %d min left",
                    static_cast<int>(left / 60 + 0.5));
    } else {
      std::snprintf(estimate, sizeof estimate, ", about %d s left", static_cast<int>(left + 0.5));
    }
    text += estimate;
  }
  return text;
}
