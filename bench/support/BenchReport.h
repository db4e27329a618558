#pragma once
// How every benchmark reports: one JSON line per figure, and percentiles of
// samples, so bench/run.sh output reads the same whoever wrote the benchmark.

#include <algorithm>
#include <cstdio>
#include <vector>

namespace kestrum::bench {

/// Prints {"metric": NAME, "value": NUMBER, "unit": UNIT} and flushes, so a
/// benchmark that dies later still leaves its earlier figures.
inline void metric(const char* name, double value, const char* unit) {
  std::printf("{\"metric\": \"%s\", \"value\": %.10g, \"unit\": \"%s\"}\n", name, value, unit);
  std::fflush(stdout);
}

/// The sample at fraction p (0..1) of the sorted samples, nearest rank; 0
/// for no samples.
inline double percentile(std::vector<double> samples, double p) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  const auto last = samples.size() - 1;
  return samples[std::min(last, static_cast<std::size_t>(p * double(last) + 0.5))];
}

}  // namespace kestrum::bench
