// The in-place progress line: fitted to the terminal's width, so that a
// redraw never wraps; and plain lines where nothing is drawn in place.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "TerminalProgress.h"

namespace {

const WorkSnapshot kVerifying{WorkPhase::kVerifying, 65 * 1024, 70 * 1024};

TEST(ProgressLine, FullBarWhenTheTerminalIsWideEnough) {
  const std::string line = ComposeProgressLine(120, 50, {WorkPhase::kWriting, 20480, 40960}, 2.0);
  EXPECT_EQ(line, "[" + std::string(20, '#') + std::string(20, ' ') +
                      "]  50% (writing, 20 KiB of 40 KiB, about 2 s left)");
}

TEST(ProgressLine, NeverReachesTheLastColumn) {
  // The long phase with its estimate is 47 characters of words.
  const std::string words = DescribeWork(kVerifying, 10.0);
  ASSERT_EQ(words, " (verifying, 65 KiB of 70 KiB, about 1 s left)");
  for (int width = 1; width <= 200; ++width) {
    for (unsigned percent : {0u, 7u, 65u, 100u}) {
      const std::string line = ComposeProgressLine(width, percent, kVerifying, 10.0);
      EXPECT_LE(static_cast<int>(line.size()), width > 1 ? width - 1 : 1) << width;
      EXPECT_EQ(line.find_first_of("\r\n\x1b"), std::string::npos);
    }
  }
}

TEST(ProgressLine, BarShrinksThenGoesBeforeTheWords) {
  const std::string at80 = ComposeProgressLine(80, 65, kVerifying, 10.0);
  // 79 columns: "[" bar "] ", 4 for the percentage and 46 of words: a bar of 26.
  EXPECT_EQ(at80.size(), 79u);
  EXPECT_EQ(at80.substr(0, 1), "[");
  EXPECT_EQ(at80.substr(27), "]  65% (verifying, 65 KiB of 70 KiB, about 1 s left)");
  EXPECT_EQ(at80.substr(1, 26), std::string(16, '#') + std::string(10, ' '));  // 65% of 26
  // Too narrow for a bar of 10: the words alone.
  EXPECT_EQ(ComposeProgressLine(60, 65, kVerifying, 10.0),
            " 65% (verifying, 65 KiB of 70 KiB, about 1 s left)");
  // Narrower still: the end of the words goes.
  EXPECT_EQ(ComposeProgressLine(20, 65, kVerifying, 10.0), " 65% (verifying, 65");
  // Unknown width: 80 columns.
  EXPECT_EQ(ComposeProgressLine(0, 65, kVerifying, 10.0), at80);
  EXPECT_EQ(FitProgressLine(80, 250, ""), "[" + std::string(40, '#') + "] 100%");
}

// (A terminal with TERM=dumb: tests/e2e/sim_terminal.sh.)
TEST(ProgressLine, FilesGetPlainLines) {
  char name[] = "/tmp/zf-progress-XXXXXX";
  const int fd = mkstemp(name);
  ASSERT_GE(fd, 0);
  FILE* file = fdopen(fd, "w+");
  ASSERT_NE(file, nullptr);
  EXPECT_FALSE(DrawsInPlace(file));
  EXPECT_FALSE(DrawsInPlace(nullptr));
  {
    CWorkReport work;
    work.Work(WorkPhase::kWriting, 20480, 40960);
    TerminalProgress progress(file, true, &work);  // asked for in place, but not a terminal
    progress.Draw(50, false);
    progress.Draw(100, true);
  }
  std::fflush(file);
  std::rewind(file);
  char text[256] = {};
  const size_t got = std::fread(text, 1, sizeof text - 1, file);
  std::fclose(file);
  unlink(name);
  const std::string output(text, got);
  EXPECT_EQ(output.find('\r'), std::string::npos) << output;
  EXPECT_EQ(output.find('\x1b'), std::string::npos) << output;
  // The line follows the run's report.
  EXPECT_NE(output.find("Progress: 50% (writing, 20 KiB of 40 KiB)"), std::string::npos) << output;
  EXPECT_NE(output.find("Progress: 100%"), std::string::npos) << output;
}

// The report of one run: its first failure and its first verdict count,
// until the next run resets it.
TEST(WorkReport, FirstFailureAndFirstVerdictCountUntilReset) {
  CWorkReport work;
  EXPECT_EQ(work.verdict(), CWorkReport::Verdict::kRunning);
  work.Work(WorkPhase::kErasing, 4096, 8192);
  work.Work(WorkPhase::kWriting, 5000, 8192);
  work.Failure(WorkPhase::kWriting, 0xFFFFFFFFu, 48, false);
  work.Failure(WorkPhase::kVerifying, 0x1000, 48, true);  // a later one is no cause
  work.End(false);
  work.End(true);
  EXPECT_EQ(work.verdict(), CWorkReport::Verdict::kFailed);
  const WorkFailure failure = work.LastFailure();
  EXPECT_TRUE(failure.failed);
  EXPECT_EQ(failure.phase, WorkPhase::kWriting);
  EXPECT_EQ(failure.address, 0xFFFFFFFFu);  // every bit of the address kept
  EXPECT_EQ(failure.length, 48u);
  EXPECT_FALSE(failure.mismatch);
  EXPECT_EQ(work.PhasesEntered(), (1u << 2) | (1u << 3));
  EXPECT_EQ(work.Current().done, 5000u);

  work.Reset();
  EXPECT_EQ(work.verdict(), CWorkReport::Verdict::kRunning);
  EXPECT_FALSE(work.LastFailure().failed);
  EXPECT_EQ(work.PhasesEntered(), 0u);
  work.End(true);
  EXPECT_EQ(work.verdict(), CWorkReport::Verdict::kCompleted);
}

}  // namespace
