#include "tools/running/sample_compare.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <tuple>
#include <vector>

#include "frame/stage_header.h"

namespace halvern::tools {
namespace {

constexpr int64_t EXCERPT = 32000;  // 2 s at 16 kHz
constexpr int64_t EXCERPT_FRAMES = EXCERPT / FRAME_LENGTH;
constexpr size_t BLOCK = 16384;  // samples read at a time

// prefix[i] = sum of x[0..i) squared.
std::vector<int64_t> energy_prefix(std::span<const int16_t> x) {
  std::vector<int64_t> prefix(x.size() + 1, 0);
  for (size_t i = 0; i < x.size(); ++i) {
    prefix[i + 1] = prefix[i] + int64_t{x[i]} * x[i];
  }
  return prefix;
}

}  // namespace

void LoudestExcerpt::add(std::span<const int16_t> x) {
  if (ring_.empty()) ring_.assign(static_cast<size_t>(EXCERPT_FRAMES), 0);
  for (const int16_t v : x) {
    const int64_t e = int64_t{v} * v;
    frame_energy_ += e;
    if (++length_ % FRAME_LENGTH != 0) continue;
    // A frame complete: the window of the last excerpt's worth of frames moves on by one.
    int64_t& oldest = ring_[static_cast<size_t>(frames_ % EXCERPT_FRAMES)];
    window_ += frame_energy_ - oldest;
    oldest = frame_energy_;
    frame_energy_ = 0;
    if (++frames_ >= EXCERPT_FRAMES && window_ > best_) {
      best_ = window_;
      best_start_ = (frames_ - EXCERPT_FRAMES) * FRAME_LENGTH;
    }
  }
}

int64_t LoudestExcerpt::start() const { return length_ < EXCERPT ? 0 : best_start_; }
int64_t LoudestExcerpt::width() const { return std::min(length_, EXCERPT); }

LagEstimate lag_of_excerpt(std::span<const int16_t> excerpt, int64_t start,
                           std::span<const int16_t> b_region, int64_t b_start, int max_lag) {
  const std::vector<int64_t> prefix_a = energy_prefix(excerpt);
  const std::vector<int64_t> prefix_b = energy_prefix(b_region);
  const auto width = static_cast<int64_t>(excerpt.size());
  const int64_t b_end = b_start + static_cast<int64_t>(b_region.size());
  LagEstimate best;
  const int64_t excerpt_energy = prefix_a.back();
  if (excerpt_energy <= 0) return best;
  const auto energy_a = static_cast<double>(excerpt_energy);
  for (int distance = 0; distance <= max_lag; ++distance) {
    for (int side = 0; side < (distance == 0 ? 1 : 2); ++side) {
      const int lag = side == 0 ? distance : -distance;
      // a[start + i] against b[start + i + lag], where b exists.
      const int64_t from = std::max<int64_t>(start, -int64_t{lag});
      const int64_t to = std::min<int64_t>(start + width, b_end - lag);
      if (from >= to) continue;
      int64_t dot = 0;
      const int16_t* pa = excerpt.data() + (from - start);
      const int16_t* pb = b_region.data() + (from + lag - b_start);
      for (int64_t i = 0; i < to - from; ++i) dot += int32_t{pa[i]} * pb[i];
      const int64_t energy_b = prefix_b[static_cast<size_t>(to + lag - b_start)] -
                               prefix_b[static_cast<size_t>(from + lag - b_start)];
      if (energy_b == 0) continue;
      // Against all of the excerpt's energy, so a lag that overlaps less of it scores less.
      const double correlation =
          static_cast<double>(dot) / std::sqrt(energy_a * static_cast<double>(energy_b));
      if (correlation > best.correlation) best = {lag, correlation};
    }
  }
  return best;
}

LagEstimate estimate_lag(std::span<const int16_t> a, std::span<const int16_t> b, int max_lag) {
  LoudestExcerpt loudest;
  loudest.add(a);
  const int64_t start = loudest.start();
  const int64_t b_start = std::clamp<int64_t>(start - max_lag, 0, static_cast<int64_t>(b.size()));
  const int64_t b_end = std::clamp<int64_t>(start + loudest.width() + max_lag, b_start,
                                            static_cast<int64_t>(b.size()));
  return lag_of_excerpt(
      a.subspan(static_cast<size_t>(start), static_cast<size_t>(loudest.width())), start,
      b.subspan(static_cast<size_t>(b_start), static_cast<size_t>(b_end - b_start)), b_start,
      max_lag);
}

double SampleComparison::signal_to_difference_db() const {
  if (difference_energy == 0.0) return std::numeric_limits<double>::infinity();
  if (signal_energy == 0.0) return -std::numeric_limits<double>::infinity();
  return 10.0 * std::log10(signal_energy / difference_energy);
}

SampleComparer::SampleComparer(int lag, int tolerance)
    : tolerance_(tolerance), skip_a_(std::max(0, -lag)), skip_b_(std::max(0, lag)) {
  c_.lag = lag;
  next_ = skip_a_;
}

void SampleComparer::queue(std::span<const int16_t> x, int64_t* skip, std::vector<int16_t>* waiting,
                           size_t* taken) {
  const auto skipped =
      static_cast<size_t>(std::min<int64_t>(*skip, static_cast<int64_t>(x.size())));
  *skip -= static_cast<int64_t>(skipped);
  x = x.subspan(skipped);
  if (*taken > 0 && *taken >= waiting->size() / 2) {  // the compared part gone, now and then
    waiting->erase(waiting->begin(), waiting->begin() + static_cast<std::ptrdiff_t>(*taken));
    *taken = 0;
  }
  waiting->insert(waiting->end(), x.begin(), x.end());
}

void SampleComparer::add_a(std::span<const int16_t> a) {
  c_.length_a += static_cast<int64_t>(a.size());
  queue(a, &skip_a_, &waiting_a_, &taken_a_);
  compare_waiting();
}

void SampleComparer::add_b(std::span<const int16_t> b) {
  c_.length_b += static_cast<int64_t>(b.size());
  queue(b, &skip_b_, &waiting_b_, &taken_b_);
  compare_waiting();
}

void SampleComparer::compare_waiting() {
  const size_t n = std::min(waiting_a_.size() - taken_a_, waiting_b_.size() - taken_b_);
  const int16_t* a = waiting_a_.data() + taken_a_;
  const int16_t* b = waiting_b_.data() + taken_b_;
  for (size_t k = 0; k < n; ++k, ++next_) {
    const int sa = a[k];
    const int sb = b[k];
    const int d = std::abs(sa - sb);
    c_.signal_energy += static_cast<double>(sa) * sa;
    c_.difference_energy += static_cast<double>(d) * d;
    c_.max_difference = std::max(c_.max_difference, d);
    if (d > tolerance_) {
      if (c_.first < 0) {
        c_.first = next_;
        c_.first_a = static_cast<int16_t>(sa);
        c_.first_b = static_cast<int16_t>(sb);
      }
      ++c_.differing_samples;
      if (next_ / FRAME_LENGTH != last_frame_) {
        last_frame_ = next_ / FRAME_LENGTH;
        ++c_.differing_frames;
      }
    }
  }
  c_.overlap += static_cast<int64_t>(n);
  taken_a_ += n;
  taken_b_ += n;
}

SampleComparison SampleComparer::result() const {
  SampleComparison c = c_;
  c.identical = c.differing_samples == 0 && (c.lag == 0 ? c.length_a == c.length_b : c.overlap > 0);
  return c;
}

SampleComparison compare_samples(std::span<const int16_t> a, std::span<const int16_t> b, int lag,
                                 int tolerance) {
  SampleComparer comparer(lag, tolerance);
  comparer.add_a(a);
  comparer.add_b(b);
  return comparer.result();
}

SampleComparison compare_audio(AudioReader& a, AudioReader& b, int lag, int tolerance) {
  SampleComparer comparer(lag, tolerance);
  std::vector<int16_t> block(BLOCK);
  bool a_done = false;
  bool b_done = false;
  while (!a_done || !b_done) {
    for (auto [reader, done, add] : {std::tuple{&a, &a_done, &SampleComparer::add_a},
                                     std::tuple{&b, &b_done, &SampleComparer::add_b}}) {
      if (*done) continue;
      const size_t n = reader->read(block.data(), block.size());
      *done = n == 0;
      (comparer.*add)(std::span<const int16_t>(block).first(n));
    }
  }
  return comparer.result();
}

}  // namespace halvern::tools
