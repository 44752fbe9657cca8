// The console reporter of the benchmark programs, keeping every run's
// adjusted real time by its full name, so that a program can print the
// ratio of its runs to their anchors after they ran.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace ovix::bench {

class RunTimes : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs)
      if (!r.error_occurred) ns_[r.benchmark_name()] = r.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }
  // The time of the run of that name; 0 when it did not run.
  double Of(const std::string& name) const {
    const auto it = ns_.find(name);
    return it == ns_.end() ? 0.0 : it->second;
  }
  // ours / anchor; 0 when either did not run.
  double Ratio(const std::string& ours, const std::string& anchor) const {
    const double a = Of(anchor);
    return a > 0 ? Of(ours) / a : 0.0;
  }
  const std::map<std::string, double>& All() const { return ns_; }

 private:
  std::map<std::string, double> ns_;
};

}  // namespace ovix::bench
