// The benchmark programs' side of the summary: the reporter that keeps the
// runs while the console reporter prints them.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace zfbench {

class CollectingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& reports) override;
  // The last run of the named benchmark (iteration runs only), or null.
  const Run* Find(const std::string& name) const;

 private:
  std::map<std::string, Run> runs_;
};

// Runs the registered benchmarks with `reporter`; the number run.
size_t RunAll(int* argc, char** argv, CollectingReporter* reporter);

}  // namespace zfbench
