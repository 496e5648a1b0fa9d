// Comparing two recordings sample by sample: where they first differ, by how much, and at which
// lag one follows the other.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace halvern::tools {

struct LagEstimate {
  int lag = 0;               // b[i + lag] lines up with a[i]: positive when b comes later
  double correlation = 0.0;  // normalised cross-correlation at that lag, -1 to 1
};

// The lag within +-max_lag that best lines b up with a: the largest normalised cross-correlation
// over an excerpt of a (its loudest 2 s, or all of a when shorter), the smallest |lag| on a tie.
// Lag 0 and correlation 0 when a or b is silent.
LagEstimate estimate_lag(std::span<const int16_t> a, std::span<const int16_t> b, int max_lag);

struct SampleComparison {
  int64_t length_a = 0;
  int64_t length_b = 0;
  int lag = 0;             // applied: a[i] is compared with b[i + lag]
  int64_t first = -1;      // -1 or the index in a of the first sample differing by more than
                           // the tolerance
  int16_t first_a = 0;     // the two samples there
  int16_t first_b = 0;
  int64_t overlap = 0;     // samples compared
  int64_t differing_samples = 0;
  int64_t differing_frames = 0;  // frames of a (FRAME_LENGTH samples) holding a differing sample
  int max_difference = 0;        // largest |a - b| over the overlap, tolerance or not
  double signal_energy = 0.0;    // sum of a^2 over the overlap
  double difference_energy = 0.0;  // sum of (a - b)^2 over the overlap
  // No sample differs by more than the tolerance and, without a lag, both have the same length
  // (with a lag, the samples outside the overlap are not judged).
  bool identical = false;

  // 10 log10(signal / difference): +infinity when nothing differs.
  double signal_to_difference_db() const;
};

// a against b shifted by lag, differences up to tolerance counting as equal.
SampleComparison compare_samples(std::span<const int16_t> a, std::span<const int16_t> b, int lag,
                                 int tolerance);

}  // namespace halvern::tools
