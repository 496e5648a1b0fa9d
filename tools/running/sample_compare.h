// Comparing two recordings sample by sample: where they first differ, by how much, and at which
// lag one follows the other; in memory, or fed in blocks as the recordings are read.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "tools/io/audio_io.h"

namespace halvern::tools {

struct LagEstimate {
  int lag = 0;               // b[i + lag] lines up with a[i]: positive when b comes later
  double correlation = 0.0;  // normalised cross-correlation at that lag, -1 to 1
};

// The lag within +-max_lag that best lines b up with a: the largest normalised cross-correlation
// over an excerpt of a (its loudest 2 s, or all of a when shorter), the smallest |lag| on a tie.
// Lag 0 and correlation 0 when a or b is silent.
LagEstimate estimate_lag(std::span<const int16_t> a, std::span<const int16_t> b, int max_lag);

// The excerpt of a signal that estimate_lag lines up: its loudest 2 s, found in steps of one
// frame (the first of equal ones), or all of it when shorter. Fed in blocks.
class LoudestExcerpt {
 public:
  void add(std::span<const int16_t> x);
  int64_t start() const;  // of the excerpt, in samples
  int64_t width() const;  // in samples

 private:
  int64_t length_ = 0;
  int64_t frame_energy_ = 0;   // of the frame being filled
  int64_t frames_ = 0;         // complete frames
  std::vector<int64_t> ring_;  // energies of the last frames, one excerpt's worth
  int64_t window_ = 0;         // their sum
  int64_t best_ = -1;
  int64_t best_start_ = 0;
};

// The lag of estimate_lag, given the excerpt of a (at start) and b's samples from b_start that
// may line up with it: from max(0, start - max_lag) to min(length of b, start + width + max_lag).
LagEstimate lag_of_excerpt(std::span<const int16_t> excerpt, int64_t start,
                           std::span<const int16_t> b_region, int64_t b_start, int max_lag);

struct SampleComparison {
  int64_t length_a = 0;
  int64_t length_b = 0;
  int lag = 0;          // applied: a[i] is compared with b[i + lag]
  int64_t first = -1;   // -1 or the index in a of the first sample differing by more than
                        // the tolerance
  int16_t first_a = 0;  // the two samples there
  int16_t first_b = 0;
  int64_t overlap = 0;  // samples compared
  int64_t differing_samples = 0;
  int64_t differing_frames = 0;    // frames of a (FRAME_LENGTH samples) holding a differing sample
  int max_difference = 0;          // largest |a - b| over the overlap, tolerance or not
  double signal_energy = 0.0;      // sum of a^2 over the overlap
  double difference_energy = 0.0;  // sum of (a - b)^2 over the overlap
  // No sample differs by more than the tolerance and, without a lag, both have the same length
  // (with a lag, the samples outside the overlap are not judged).
  bool identical = false;

  // 10 log10(signal / difference): +infinity when nothing differs.
  double signal_to_difference_db() const;
};

// The comparison of compare_samples fed in blocks: the samples of a and of b in blocks of any
// size, in any order. Samples wait inside until their partner arrives: fed in step, it holds
// little more than |lag| samples.
class SampleComparer {
 public:
  SampleComparer(int lag, int tolerance);
  void add_a(std::span<const int16_t> a);
  void add_b(std::span<const int16_t> b);
  // The comparison of all the samples added.
  SampleComparison result() const;

 private:
  // Takes x (one side's new samples) past the samples that pair with none, into its queue.
  static void queue(std::span<const int16_t> x, int64_t* skip, std::vector<int16_t>* waiting,
                    size_t* taken);
  void compare_waiting();

  int tolerance_;
  SampleComparison c_;
  int64_t skip_a_;  // samples of a still to skip: those before b starts
  int64_t skip_b_;
  std::vector<int16_t> waiting_a_;
  std::vector<int16_t> waiting_b_;
  size_t taken_a_ = 0;  // of waiting_a_, already compared
  size_t taken_b_ = 0;
  int64_t next_ = 0;  // index in a of the next pair
  int64_t last_frame_ = -1;
};

// a against b shifted by lag, differences up to tolerance counting as equal.
SampleComparison compare_samples(std::span<const int16_t> a, std::span<const int16_t> b, int lag,
                                 int tolerance);

// The same of two recordings read in blocks, side by side.
SampleComparison compare_audio(AudioReader& a, AudioReader& b, int lag, int tolerance);

}  // namespace halvern::tools
