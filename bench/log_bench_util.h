// Shared by the log benchmarks: a reporter that remembers each benchmark's time per iteration,
// so main can print ratios against the bare baselines run in the same process.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace tamsel::bench {

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& run : runs) {
      if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
        // Keyed by the name before any "/" argument or option suffix.
        std::string name = run.benchmark_name();
        name = name.substr(0, name.find('/'));
        times_[name] = run.GetAdjustedRealTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  // Time per iteration of a benchmark, or 0 when it did not run.
  double time(const std::string& name) const {
    const auto it = times_.find(name);
    return it == times_.end() ? 0 : it->second;
  }

  // "<label> <a/b>" with the ratio as the last word; nothing when either did not run.
  void printRatio(const char* label, const std::string& a, const std::string& b) const {
    if (time(a) > 0 && time(b) > 0) std::printf("%s %.2f\n", label, time(a) / time(b));
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace tamsel::bench
