#include "tools/loop/feedback_path.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <numbers>
#include <stdexcept>

namespace halvern::tools {

namespace {

constexpr size_t GRID_MIN = size_t{1} << 16;
constexpr size_t GRID_MAX = size_t{1} << 22;
constexpr double REFINE_WITHIN_DB = 0.5;  // crossings this close to the strongest are refined
constexpr size_t REFINE_MAX = 32;
constexpr int BISECTIONS = 24;

std::string_view trim(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

// "0.4", "0.4s", "400ms" in seconds.
double parse_seconds(std::string_view key, std::string_view value) {
  double scale = 1;
  std::string_view number = value;
  if (number.ends_with("ms")) {
    scale = 1e-3;
    number.remove_suffix(2);
  } else if (number.ends_with("s")) {
    number.remove_suffix(1);
  }
  double v = 0;
  const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), v);
  if (number.empty() || error != std::errc() || end != number.data() + number.size() ||
      !std::isfinite(v)) {
    throw std::invalid_argument(
        "--room: " + std::string(key) + "=" + std::string(value) +
        " is not a time: write seconds (0.4, 0.4s) or milliseconds (400ms)");
  }
  return v * scale;
}

// L(w) = sum_m f[m] e^{-j w (m + 320)}, in double precision; the rotation is recomputed every
// 4096 taps so that its error does not grow with the path's length.
std::complex<double> loop_at(const std::vector<double>& f, double w) {
  const std::complex<double> step = std::polar(1.0, -w);
  std::complex<double> sum = 0;
  std::complex<double> z = 1;
  for (size_t m = 0; m < f.size(); ++m) {
    if (m % 4096 == 0) z = std::polar(1.0, -w * static_cast<double>(m));
    sum += f[m] * z;
    z *= step;
  }
  return sum * std::polar(1.0, -w * LOOP_DELAY);
}

// The path's spectrum on its dense grid (path_grid_size), bins 0 to N/2, with delay zero samples
// in front of the path (320 for the loop).
std::vector<std::complex<double>> dense_spectrum(const std::vector<double>& path, size_t delay) {
  const size_t n = path_grid_size(path.size());
  RealFft fft(n);
  FftArray<double> x(n);
  FftArray<std::complex<double>> spectrum(fft.bins());
  std::copy(path.begin(), path.end(), x.data() + delay);
  fft.forward(x.data(), spectrum.data());
  return {spectrum.data(), spectrum.data() + spectrum.size()};
}

// sum += x h over the bins, x in split form (real parts, then imaginary parts), h likewise.
void multiply_add(const double* __restrict x, const double* __restrict h, double* __restrict sum_re,
                  double* __restrict sum_im) {
  constexpr size_t K = PartitionedPath::BINS;
  for (size_t k = 0; k < K; ++k) {
    sum_re[k] += x[k] * h[k] - x[K + k] * h[K + k];
    sum_im[k] += x[k] * h[K + k] + x[K + k] * h[k];
  }
}

}  // namespace

RoomSpec parse_room_spec(std::string_view text) {
  RoomSpec room;
  size_t at = 0;
  while (at <= text.size()) {
    const size_t comma = std::min(text.find(',', at), text.size());
    const std::string_view part = trim(text.substr(at, comma - at));
    at = comma + 1;
    const size_t equals = part.find('=');
    if (equals == std::string_view::npos) {
      throw std::invalid_argument("--room: '" + std::string(part) +
                                  "' is not key=value: use rt60=0.4,delay=2ms,seed=1");
    }
    const std::string_view key = trim(part.substr(0, equals));
    const std::string_view value = trim(part.substr(equals + 1));
    if (key == "rt60") {
      room.rt60_s = parse_seconds(key, value);
      if (room.rt60_s < 0.01 || room.rt60_s > 5) {
        throw std::invalid_argument("--room: rt60 must lie between 0.01 and 5 s");
      }
    } else if (key == "delay") {
      room.delay_s = parse_seconds(key, value);
      if (room.delay_s < 0 || room.delay_s > 1) {
        throw std::invalid_argument("--room: delay must lie between 0 and 1 s");
      }
    } else if (key == "seed") {
      const auto [end, error] =
          std::from_chars(value.data(), value.data() + value.size(), room.seed);
      if (value.empty() || error != std::errc() || end != value.data() + value.size()) {
        throw std::invalid_argument("--room: seed=" + std::string(value) +
                                    " is not a whole number from 0 to 18446744073709551615");
      }
    } else {
      throw std::invalid_argument("--room: unknown key '" + std::string(key) +
                                  "': use rt60, delay and seed (rt60=0.4,delay=2ms,seed=1)");
    }
  }
  return room;
}

uint64_t RoomNoise::next_word() {
  state_ += 0x9E3779B97F4A7C15ULL;
  uint64_t z = state_;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

double RoomNoise::next_gauss() {
  constexpr double SCALE = 1.0 / 9007199254740992.0;  // 2^-53
  const double u1 = static_cast<double>((next_word() >> 11) + 1) * SCALE;
  const double u2 = static_cast<double>(next_word() >> 11) * SCALE;
  return std::sqrt(-2 * std::log(u1)) * std::cos(2 * std::numbers::pi * u2);
}

size_t path_grid_size(size_t taps) {
  size_t n = GRID_MIN;
  while (n < 16 * (taps + LOOP_DELAY) && n < GRID_MAX) n *= 2;
  return n;
}

std::vector<double> synthetic_room(const RoomSpec& room) {
  const auto delay = static_cast<size_t>(std::lround(room.delay_s * LOOP_RATE));
  const auto length = static_cast<size_t>(std::lround(room.rt60_s * LOOP_RATE));
  std::vector<double> f(delay + length, 0.0);
  RoomNoise noise(room.seed);
  for (size_t i = 0; i < length; ++i) {
    f[delay + i] = noise.next_gauss() *
                   std::pow(10.0, -3.0 * static_cast<double>(i) / static_cast<double>(length));
  }
  double largest = 0;
  for (const std::complex<double>& v : dense_spectrum(f, 0))
    largest = std::max(largest, std::abs(v));
  for (double& tap : f) tap /= largest;
  return f;
}

NyquistResult nyquist_msg(const std::vector<double>& path) {
  NyquistResult result{std::numeric_limits<double>::infinity(), 0};
  if (std::all_of(path.begin(), path.end(), [](double v) { return v == 0; })) return result;
  const std::vector<std::complex<double>> loop = dense_spectrum(path, LOOP_DELAY);
  const size_t n = 2 * (loop.size() - 1);
  const double bin = 2 * std::numbers::pi / static_cast<double>(n);

  // Phase crossings on the grid: a sign change of Im L between bins k and k + 1 where the
  // interpolated Re L is positive; DC and the Nyquist bin are real.
  struct Crossing {
    size_t k;
    double magnitude;  // interpolated between the bins
  };
  std::vector<Crossing> crossings;
  for (size_t k = 0; k + 1 < loop.size(); ++k) {
    const std::complex<double> a = loop[k];
    const std::complex<double> b = loop[k + 1];
    if ((a.imag() >= 0) == (b.imag() >= 0)) continue;
    const double t = a.imag() / (a.imag() - b.imag());
    if (a.real() + t * (b.real() - a.real()) <= 0) continue;
    crossings.push_back({k, std::abs(a) + t * (std::abs(b) - std::abs(a))});
  }
  double best = 0;
  double best_w = 0;
  for (const size_t k : {size_t{0}, loop.size() - 1}) {
    if (loop[k].real() > best) {
      best = loop[k].real();
      best_w = bin * static_cast<double>(k);
    }
  }
  std::sort(crossings.begin(), crossings.end(),
            [](const Crossing& x, const Crossing& y) { return x.magnitude > y.magnitude; });
  const double refine_from =
      crossings.empty() ? 0 : crossings.front().magnitude * std::pow(10.0, -REFINE_WITHIN_DB / 20);
  for (size_t i = 0; i < crossings.size() && i < REFINE_MAX; ++i) {
    if (crossings[i].magnitude < refine_from) break;
    double lo = bin * static_cast<double>(crossings[i].k);
    double hi = lo + bin;
    const bool lo_positive = loop[crossings[i].k].imag() >= 0;
    for (int step = 0; step < BISECTIONS; ++step) {
      const double mid = 0.5 * (lo + hi);
      ((loop_at(path, mid).imag() >= 0) == lo_positive ? lo : hi) = mid;
    }
    const double w = 0.5 * (lo + hi);
    const std::complex<double> at = loop_at(path, w);
    if (at.real() > 0 && std::abs(at) > best) {
      best = std::abs(at);
      best_w = w;
    }
  }
  if (best > 0) {
    result.msg_db = -20 * std::log10(best);
    result.frequency_hz = best_w / (2 * std::numbers::pi) * LOOP_RATE;
  }
  return result;
}

PartitionedPath::PartitionedPath(const std::vector<double>& path)
    : taps_(path.size()),
      partitions_(std::max<size_t>(1, (path.size() + BLOCK - 1) / BLOCK)),
      fft_(2 * BLOCK),
      spectra_(2 * BINS * partitions_) {
  FftArray<double> x(2 * BLOCK);
  FftArray<std::complex<double>> spectrum(BINS);
  const double scale = 1.0 / static_cast<double>(2 * BLOCK);
  for (size_t p = 0; p < partitions_; ++p) {
    std::fill(x.data(), x.data() + x.size(), 0.0);
    for (size_t m = 0; m < BLOCK && p * BLOCK + m < path.size(); ++m) x[m] = path[p * BLOCK + m];
    fft_.forward(x.data(), spectrum.data());
    double* re = spectra_.data() + 2 * p * BINS;
    for (size_t k = 0; k < BINS; ++k) {
      re[k] = spectrum[k].real() * scale;
      re[BINS + k] = spectrum[k].imag() * scale;
    }
  }
}

PathConvolution::PathConvolution(const PartitionedPath& path)
    : path_(path),
      window_(2 * PartitionedPath::BLOCK),
      spectrum_(PartitionedPath::BINS),
      output_(2 * PartitionedPath::BLOCK),
      history_(2 * PartitionedPath::BINS * path.partitions(), 0.0),
      sum_(2 * PartitionedPath::BINS, 0.0) {}

void PathConvolution::push(const double* x, double* y) {
  constexpr size_t B = PartitionedPath::BLOCK;
  constexpr size_t K = PartitionedPath::BINS;
  const size_t partitions = path_.partitions();
  std::copy(window_.data() + B, window_.data() + 2 * B, window_.data());
  std::copy(x, x + B, window_.data() + B);
  path_.fft().forward(window_.data(), spectrum_.data());
  newest_ = newest_ + 1 == partitions ? 0 : newest_ + 1;
  double* slot = history_.data() + 2 * K * newest_;
  for (size_t k = 0; k < K; ++k) {
    slot[k] = spectrum_[k].real();
    slot[K + k] = spectrum_[k].imag();
  }
  double* sum_re = sum_.data();
  double* sum_im = sum_.data() + K;
  std::fill(sum_.begin(), sum_.end(), 0.0);
  size_t s = newest_;
  for (size_t p = 0; p < partitions; ++p) {
    multiply_add(history_.data() + 2 * K * s, path_.real(p), sum_re, sum_im);
    s = s == 0 ? partitions - 1 : s - 1;
  }
  for (size_t k = 0; k < K; ++k) spectrum_[k] = {sum_re[k], sum_im[k]};
  path_.fft().inverse(spectrum_.data(), output_.data());
  std::copy(output_.data() + B, output_.data() + 2 * B, y);
}

}  // namespace halvern::tools
