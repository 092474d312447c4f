// Timing and the few statistics the benchmark reports.
#pragma once

#include <algorithm>
#include <chrono>
#include <vector>

namespace orvala::bench {

using Clock = std::chrono::steady_clock;

inline double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Runs f once and returns how long it took, in seconds.
template <typename F>
double Time(F&& f) {
  const Clock::time_point start = Clock::now();
  f();
  return SecondsSince(start);
}

// The value below which a fraction `q` of the samples lie (nearest rank).
inline double Quantile(std::vector<double> samples, double q) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  const size_t rank = static_cast<size_t>(q * static_cast<double>(samples.size() - 1) + 0.5);
  return samples[std::min(rank, samples.size() - 1)];
}

inline double Median(std::vector<double> samples) { return Quantile(std::move(samples), 0.5); }

inline double Mean(const std::vector<double>& samples, size_t from, size_t to) {
  double sum = 0;
  for (size_t i = from; i < to; ++i) sum += samples[i];
  return to > from ? sum / static_cast<double>(to - from) : 0;
}

}  // namespace orvala::bench
