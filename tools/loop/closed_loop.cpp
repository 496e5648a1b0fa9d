#include "tools/loop/closed_loop.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <numbers>
#include <stdexcept>

#include "engine/engine.h"

namespace halvern::tools {

namespace {

constexpr double FULL_SCALE = 32768.0;
constexpr size_t DIAGNOSTICS_KEPT = 100;
constexpr size_t LSD_FRAME = 512;
constexpr size_t LSD_HOP = 256;
constexpr double LSD_ACTIVE_RANGE_DB = 40.0;
constexpr double LSD_RANGE_DB = 50.0;  // the spectra's floor below the source frame's strongest bin
constexpr size_t MAX_LAG = LOOP_DELAY - 1;

void collect_diagnostic(void* user, const char* message) {
  auto* messages = static_cast<std::vector<std::string>*>(user);
  if (messages->size() < DIAGNOSTICS_KEPT) messages->emplace_back(message);
}

double db_of_energy(double energy, double samples) {
  return energy > 0 ? 10 * std::log10(energy / samples / (FULL_SCALE * FULL_SCALE))
                    : -std::numeric_limits<double>::infinity();
}

double db_of_peak(double peak) {
  return peak > 0 ? 20 * std::log10(peak / FULL_SCALE) : -std::numeric_limits<double>::infinity();
}

SignalLevels levels_of(const int16_t* x, size_t n, double scale) {
  double peak = 0;
  double energy = 0;
  for (size_t i = 0; i < n; ++i) {
    const double v = scale * x[i];
    peak = std::max(peak, std::fabs(v));
    energy += v * v;
  }
  if (n == 0)
    return {-std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()};
  return {db_of_peak(peak), db_of_energy(energy, static_cast<double>(n))};
}

// Level in dBFS of the frames [first, first + count) of the per-frame energies.
double window_db(const std::vector<double>& frame_energy, size_t first, size_t count) {
  double energy = 0;
  for (size_t k = first; k < first + count; ++k) energy += frame_energy[k];
  return db_of_energy(energy, static_cast<double>(count * FRAME_LENGTH));
}

}  // namespace

int64_t default_tail_frames(size_t path_taps) {
  const double seconds = 2.0 + 4.0 * static_cast<double>(path_taps + LOOP_DELAY) / LOOP_RATE;
  return static_cast<int64_t>(std::ceil(seconds * LOOP_RATE / FRAME_LENGTH));
}

StabilityVerdict judge_stability(const FrameEnergies& e) {
  const auto w = static_cast<size_t>(STABILITY_WINDOW_FRAMES);
  const size_t frames = e.speaker.size();
  const auto first = static_cast<size_t>(e.source_frames);
  if (frames < first + MIN_TAIL_FRAMES || e.mic.size() != frames || e.source.size() < first) {
    throw std::invalid_argument("judge_stability: a tail shorter than 30 frames");
  }
  constexpr size_t NONE = std::numeric_limits<size_t>::max();
  size_t onset = NONE;  // the first window (from the run's start) that shows the howl

  // The microphone far above an active source.
  const size_t source_windows = first / w;
  double loudest_source = -std::numeric_limits<double>::infinity();
  for (size_t i = 0; i < source_windows; ++i) {
    loudest_source = std::max(loudest_source, window_db(e.source, i * w, w));
  }
  for (size_t i = 0; i < source_windows && onset == NONE; ++i) {
    const double source = window_db(e.source, i * w, w);
    if (std::isfinite(source) && source >= loudest_source - ACTIVE_RANGE_DB &&
        window_db(e.mic, i * w, w) >= source + MIC_EXCESS_DB) {
      onset = i;
    }
  }

  // The tail: a build-up after a quieter window, or no decay from the middle third to the last.
  const size_t windows = (frames - first) / w;
  const auto tail_time = [&](size_t i) { return first + i * w; };  // first frame of tail window i
  double middle = -std::numeric_limits<double>::infinity();        // loudest of the middle third
  double last = middle;                                            // loudest of the last third
  double quietest_last = std::numeric_limits<double>::infinity();
  double quietest_so_far = std::numeric_limits<double>::infinity();
  size_t regrowth = NONE;
  for (size_t i = 0; i < windows; ++i) {
    const double level = window_db(e.speaker, tail_time(i), w);
    if (regrowth == NONE && level >= HOWL_FLOOR_DBFS && level >= quietest_so_far + REGROWTH_DB) {
      regrowth = i;
    }
    quietest_so_far = std::min(quietest_so_far, level);
    if (3 * i >= 2 * windows) {
      last = std::max(last, level);
      quietest_last = std::min(quietest_last, level);
    } else if (3 * i >= windows) {
      middle = std::max(middle, level);
    }
  }
  const auto frame_window = [&](size_t frame) { return frame / w; };
  if (regrowth != NONE) onset = std::min(onset, frame_window(tail_time(regrowth)));
  if (last >= HOWL_FLOOR_DBFS && last > middle - STABLE_DECAY_DB) {
    // Howling without a break from the window after the last one well below the tail's end.
    size_t sustained = 0;
    for (size_t i = 0; i < frames / w; ++i) {
      if (window_db(e.speaker, i * w, w) < quietest_last - ONSET_RANGE_DB) sustained = i + 1;
    }
    onset = std::min(onset, sustained);
  }
  StabilityVerdict verdict;
  verdict.howl = onset != NONE;
  if (verdict.howl) verdict.onset_s = static_cast<double>(onset * w * FRAME_LENGTH) / LOOP_RATE;
  return verdict;
}

LoopRun run_loop(const PartitionedPath& path, const std::vector<int16_t>& source,
                 const TuningSlots& slots, const LoopSettings& settings) {
  if (settings.tail_frames < MIN_TAIL_FRAMES) {
    throw std::invalid_argument("run_loop: the tail is shorter than 30 frames");
  }
  const auto start = std::chrono::steady_clock::now();
  LoopRun run;
  LoopSummary& summary = run.summary;
  summary.gain_db = settings.gain_db;
  summary.source_frames = static_cast<int64_t>(source.size() / FRAME_LENGTH);
  summary.frames = summary.source_frames + settings.tail_frames;
  const auto samples = static_cast<size_t>(summary.frames) * FRAME_LENGTH;
  const auto source_samples = static_cast<size_t>(summary.source_frames) * FRAME_LENGTH;
  run.mic.resize(samples);
  run.output.resize(samples);

  auto engine = std::make_unique<Engine>();
  engine_reset(engine.get());
  engine->diagnostics.write = collect_diagnostic;
  engine->diagnostics.user = &run.diagnostics;
  int16_t bound_in[FRAME_CAPACITY] = {};
  int16_t bound_out[FRAME_CAPACITY] = {};
  engine_bind(engine.get(), bound_in, bound_out);  // as halvern-sim does before configuring
  engine_set_stage_mask(engine.get(), settings.stage_mask);
  engine_configure(engine.get(), slots);
  summary.suppressor_on = engine->suppressor.header.enable == 1;

  const double g = std::pow(10.0, settings.gain_db / 20);
  PathConvolution convolution(path);
  std::vector<double> speaker(FRAME_LENGTH);
  std::vector<double> feedback(FRAME_LENGTH, 0.0);  // f * spk, delayed by one frame
  FrameEnergies energies;
  energies.source_frames = summary.source_frames;
  energies.speaker.resize(static_cast<size_t>(summary.frames));
  energies.mic.resize(static_cast<size_t>(summary.frames));
  energies.source.resize(static_cast<size_t>(summary.source_frames));
  for (size_t k = 0; k < static_cast<size_t>(summary.frames); ++k) {
    int16_t* mic = run.mic.data() + k * FRAME_LENGTH;
    int16_t* out = run.output.data() + k * FRAME_LENGTH;
    const bool talking = k < static_cast<size_t>(summary.source_frames);
    double source_energy = 0;
    double mic_energy = 0;
    for (size_t i = 0; i < FRAME_LENGTH; ++i) {
      const double talker = talking ? source[k * FRAME_LENGTH + i] : 0;
      const double v = std::clamp(std::round(talker + feedback[i]), -32768.0, 32767.0);
      mic[i] = static_cast<int16_t>(v);
      summary.mic_clipped += (v == -32768.0 || v == 32767.0) ? 1 : 0;
      source_energy += talker * talker;
      mic_energy += v * v;
    }
    if (talking) energies.source[k] = source_energy;
    energies.mic[k] = mic_energy;
    if (engine_process_frame(engine.get(), mic, out) != 0) {
      throw std::logic_error("the engine refused a frame");  // cannot happen: both frames bound
    }
    double energy = 0;
    for (size_t i = 0; i < FRAME_LENGTH; ++i) {
      speaker[i] = g * out[i];
      energy += speaker[i] * speaker[i];
    }
    energies.speaker[k] = energy;
    convolution.push(speaker.data(), feedback.data());
    if (summary.suppressor_on) {
      bool any = false;
      for (size_t b = 0; b < SUPPRESSOR_BAND_COUNT; ++b) {
        if (engine->suppressor.band_mark[b] != 0) {
          any = true;
          ++summary.band_marks[b];
        }
      }
      summary.frames_marked += any ? 1 : 0;
    }
  }

  const StabilityVerdict verdict = judge_stability(energies);
  summary.howl = verdict.howl;
  summary.howl_onset_s = verdict.onset_s;
  summary.source = levels_of(source.data(), source_samples, 1.0);
  summary.mic = levels_of(run.mic.data(), samples, 1.0);
  summary.speaker = levels_of(run.output.data(), samples, g);
  if (run.diagnostics.size() < engine->diagnostics.count) {
    run.diagnostics.push_back(
        "... and " + std::to_string(engine->diagnostics.count - run.diagnostics.size()) + " more");
  }
  summary.wall_seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return run;
}

SpectralDistance log_spectral_distance(const std::vector<int16_t>& source,
                                       const std::vector<int16_t>& output) {
  SpectralDistance result;
  result.lsd_db = std::numeric_limits<double>::quiet_NaN();
  const size_t n = std::min(source.size(), output.size() > MAX_LAG ? output.size() - MAX_LAG : 0);
  if (n < LSD_FRAME) return result;

  // Delay: the largest cross-correlation over lags 0 to 319.
  double best = -std::numeric_limits<double>::infinity();
  for (size_t lag = 0; lag <= MAX_LAG; ++lag) {
    double c = 0;
    for (size_t i = 0; i < n; ++i) c += static_cast<double>(source[i]) * output[i + lag];
    if (c > best) {
      best = c;
      result.delay_samples = static_cast<int64_t>(lag);
    }
  }
  const int16_t* test = output.data() + result.delay_samples;

  // Frames, their energies and the active ones.
  const size_t frames = (n - LSD_FRAME) / LSD_HOP + 1;
  std::vector<double> window(LSD_FRAME);
  for (size_t i = 0; i < LSD_FRAME; ++i) {
    window[i] = 0.5 - 0.5 * std::cos(2 * std::numbers::pi * static_cast<double>(i) / LSD_FRAME);
  }
  std::vector<double> energy(frames, 0.0);
  for (size_t f = 0; f < frames; ++f) {
    for (size_t i = 0; i < LSD_FRAME; ++i) {
      const double v = source[f * LSD_HOP + i];
      energy[f] += v * v;
    }
  }
  const double loudest = *std::max_element(energy.begin(), energy.end());
  if (loudest <= 0) return result;
  const double active_from = loudest * std::pow(10.0, -LSD_ACTIVE_RANGE_DB / 10);
  double source_energy = 0;
  double test_energy = 0;
  for (size_t f = 0; f < frames; ++f) {
    if (energy[f] < active_from) continue;
    ++result.active_frames;
    source_energy += energy[f];
    for (size_t i = 0; i < LSD_FRAME; ++i) {
      const double v = test[f * LSD_HOP + i];
      test_energy += v * v;
    }
  }
  if (test_energy <= 0) {
    result.level_db = std::numeric_limits<double>::infinity();
    return result;  // nothing came out: no distance to give
  }
  const double gain = std::sqrt(source_energy / test_energy);
  result.level_db = 20 * std::log10(gain);

  RealFft fft(LSD_FRAME);
  FftArray<double> x(LSD_FRAME);
  FftArray<std::complex<double>> source_bins(fft.bins());
  FftArray<std::complex<double>> test_bins(fft.bins());
  double sum = 0;
  for (size_t f = 0; f < frames; ++f) {
    if (energy[f] < active_from) continue;
    for (size_t i = 0; i < LSD_FRAME; ++i) x[i] = window[i] * source[f * LSD_HOP + i];
    fft.forward(x.data(), source_bins.data());
    for (size_t i = 0; i < LSD_FRAME; ++i) x[i] = window[i] * gain * test[f * LSD_HOP + i];
    fft.forward(x.data(), test_bins.data());
    double strongest = 0;
    for (size_t k = 1; k < LSD_FRAME / 2; ++k)
      strongest = std::max(strongest, std::norm(source_bins[k]));
    const double floor = strongest * std::pow(10.0, -LSD_RANGE_DB / 10);
    double squares = 0;
    for (size_t k = 1; k < LSD_FRAME / 2; ++k) {
      const double d =
          10 * std::log10((std::norm(source_bins[k]) + floor) / (std::norm(test_bins[k]) + floor));
      squares += d * d;
    }
    sum += std::sqrt(squares / (LSD_FRAME / 2 - 1));
  }
  result.lsd_db = sum / static_cast<double>(result.active_frames);
  return result;
}

}  // namespace halvern::tools
