#include "tools/running/sample_compare.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <vector>

#include "frame/stage_header.h"

namespace halvern::tools {
namespace {

constexpr int64_t EXCERPT = 32000;  // 2 s at 16 kHz

// prefix[i] = sum of x[0..i) squared.
std::vector<int64_t> energy_prefix(std::span<const int16_t> x) {
  std::vector<int64_t> prefix(x.size() + 1, 0);
  for (size_t i = 0; i < x.size(); ++i) {
    prefix[i + 1] = prefix[i] + int64_t{x[i]} * x[i];
  }
  return prefix;
}

}  // namespace

LagEstimate estimate_lag(std::span<const int16_t> a, std::span<const int16_t> b, int max_lag) {
  const auto length_a = static_cast<int64_t>(a.size());
  const auto length_b = static_cast<int64_t>(b.size());
  const std::vector<int64_t> prefix_a = energy_prefix(a);
  const std::vector<int64_t> prefix_b = energy_prefix(b);
  // The loudest excerpt of a, searched in steps of one frame.
  const int64_t width = std::min(length_a, EXCERPT);
  int64_t start = 0;
  int64_t best_energy = -1;
  for (int64_t s = 0; s + width <= length_a; s += FRAME_LENGTH) {
    const int64_t energy = prefix_a[s + width] - prefix_a[s];
    if (energy > best_energy) {
      best_energy = energy;
      start = s;
    }
  }
  LagEstimate best;
  if (best_energy <= 0) return best;
  const auto energy_a = static_cast<double>(best_energy);
  for (int distance = 0; distance <= max_lag; ++distance) {
    for (int side = 0; side < (distance == 0 ? 1 : 2); ++side) {
      const int lag = side == 0 ? distance : -distance;
      // a[start + i] against b[start + i + lag], where b exists.
      const int64_t from = std::max<int64_t>(start, -int64_t{lag});
      const int64_t to = std::min<int64_t>(start + width, length_b - lag);
      if (from >= to) continue;
      int64_t dot = 0;
      const int16_t* pa = a.data() + from;
      const int16_t* pb = b.data() + (from + lag);
      for (int64_t i = 0; i < to - from; ++i) dot += int32_t{pa[i]} * pb[i];
      const int64_t energy_b = prefix_b[to + lag] - prefix_b[from + lag];
      if (energy_b == 0) continue;
      // Against all of the excerpt's energy, so a lag that overlaps less of it scores less.
      const double correlation =
          static_cast<double>(dot) / std::sqrt(energy_a * static_cast<double>(energy_b));
      if (correlation > best.correlation) best = {lag, correlation};
    }
  }
  return best;
}

double SampleComparison::signal_to_difference_db() const {
  if (difference_energy == 0.0) return std::numeric_limits<double>::infinity();
  if (signal_energy == 0.0) return -std::numeric_limits<double>::infinity();
  return 10.0 * std::log10(signal_energy / difference_energy);
}

SampleComparison compare_samples(std::span<const int16_t> a, std::span<const int16_t> b, int lag,
                                 int tolerance) {
  SampleComparison c;
  c.length_a = static_cast<int64_t>(a.size());
  c.length_b = static_cast<int64_t>(b.size());
  c.lag = lag;
  const int64_t from = std::max<int64_t>(0, -int64_t{lag});
  const int64_t to = std::min<int64_t>(c.length_a, c.length_b - lag);
  int64_t last_frame = -1;
  double signal = 0.0;
  double difference = 0.0;
  for (int64_t i = from; i < to; ++i) {
    const int sa = a[static_cast<size_t>(i)];
    const int sb = b[static_cast<size_t>(i + lag)];
    const int d = std::abs(sa - sb);
    signal += static_cast<double>(sa) * sa;
    difference += static_cast<double>(d) * d;
    c.max_difference = std::max(c.max_difference, d);
    if (d > tolerance) {
      if (c.first < 0) {
        c.first = i;
        c.first_a = static_cast<int16_t>(sa);
        c.first_b = static_cast<int16_t>(sb);
      }
      ++c.differing_samples;
      if (i / FRAME_LENGTH != last_frame) {
        last_frame = i / FRAME_LENGTH;
        ++c.differing_frames;
      }
    }
  }
  c.overlap = std::max<int64_t>(0, to - from);
  c.signal_energy = signal;
  c.difference_energy = difference;
  c.identical = c.differing_samples == 0 && (lag == 0 ? c.length_a == c.length_b : c.overlap > 0);
  return c;
}

}  // namespace halvern::tools
