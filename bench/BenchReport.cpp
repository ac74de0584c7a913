#include "BenchReport.h"

#include <cstdlib>

namespace zfbench {

void CollectingReporter::ReportRuns(const std::vector<Run>& reports) {
  for (const Run& run : reports) {
    if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
      runs_[run.run_name.function_name] = run;
    }
  }
  ConsoleReporter::ReportRuns(reports);
}

const benchmark::BenchmarkReporter::Run* CollectingReporter::Find(const std::string& name) const {
  const auto it = runs_.find(name);
  return it == runs_.end() ? nullptr : &it->second;
}

size_t RunAll(int* argc, char** argv, CollectingReporter* reporter) {
  benchmark::Initialize(argc, argv);
  if (benchmark::ReportUnrecognizedArguments(*argc, argv)) std::exit(1);
  const size_t count = benchmark::RunSpecifiedBenchmarks(reporter);
  benchmark::Shutdown();
  return count;
}

}  // namespace zfbench
