#include "tools/review/curves.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <numbers>
#include <tuple>

#include "fixedpoint/diagnostics.h"
#include "frame/stage_header.h"
#include "stages/dynamics/dynamics.h"
#include "stages/equalizer/equalizer.h"
#include "stages/highpass/highpass.h"
#include "stages/suppressor/suppressor.h"

namespace halvern::tools {
namespace {

constexpr double SILENCE_DB = -200.0;
// Level curves: a tone has settled when a frame leaves the output and the stage's state as the
// frame before did (the tone repeats every frame, so nothing will move any more). A stage that
// never gets there (a limit cycle) is measured by the mean level of its last CYCLE_FRAMES frames
// after MAX_FRAMES.
constexpr int CYCLE_FRAMES = 50;
constexpr int MAX_FRAMES = 8000;  // 160 s: above five of the longest smoothing time constants
// Magnitude responses: frames run before the fit (filter transients) and frames fitted.
constexpr int RESPONSE_SETTLE_FRAMES = 25;
constexpr int RESPONSE_FIT_FRAMES = 50;

double db(double ratio) { return ratio > 0.0 ? 20.0 * std::log10(ratio) : SILENCE_DB; }

double to_db_power(double units) {
  // One level unit of the suppressor is 10 / 26.745 dB of power.
  return units * 10.0 / 26.745;
}

// Runs process on a frame buffer filled with the same tone frame until the output and the state
// (state() returns the stage's state variables) stop changing; returns the settled output level.
// process(frame) works on FRAME_LENGTH samples in place.
template <typename Process, typename State>
double settled_level(const std::array<int16_t, FRAME_LENGTH>& tone_frame, Process process,
                     State state) {
  std::array<int16_t, FRAME_LENGTH> frame{};
  std::array<int16_t, FRAME_LENGTH> previous{};
  auto previous_state = state();
  double sum = 0.0;
  for (int f = 0; f < MAX_FRAMES; ++f) {
    frame = tone_frame;
    process(frame.data());
    auto now = state();
    if (f > 0 && frame == previous && now == previous_state) break;
    previous = frame;
    previous_state = now;
    if (f >= MAX_FRAMES - CYCLE_FRAMES) {
      sum += std::pow(10.0, rms_dbfs(frame.data(), frame.size()) / 10.0);
      if (f == MAX_FRAMES - 1) return 10.0 * std::log10(std::max(sum / CYCLE_FRAMES, 1e-20));
    }
  }
  return rms_dbfs(frame.data(), frame.size());
}

template <typename Process>
LevelCurve level_curve(Process make_and_run) {
  LevelCurve curve;
  for (double peak : level_curve_peak_grid()) {
    const std::vector<int16_t> t = tone(peak, LEVEL_TONE_HZ, FRAME_LENGTH);
    std::array<int16_t, FRAME_LENGTH> tone_frame{};
    std::copy(t.begin(), t.end(), tone_frame.begin());
    curve.in_db.push_back(rms_dbfs(tone_frame.data(), tone_frame.size()));
    curve.out_db.push_back(make_and_run(tone_frame));
  }
  return curve;
}

// Runs a frame-in-place filter on tones of the response grid; each tone starts 12 dB below full
// scale and is made quieter until the output does not reach full scale.
template <typename MakeFilter>
MagnitudeResponse response(MakeFilter make_filter) {
  MagnitudeResponse r;
  constexpr size_t FRAMES = RESPONSE_SETTLE_FRAMES + RESPONSE_FIT_FRAMES;
  for (double hz : response_grid()) {
    double gain = SILENCE_DB;
    for (double peak = -12.0; peak >= -72.0; peak -= 12.0) {
      const std::vector<int16_t> in = tone(peak, hz, FRAMES * FRAME_LENGTH);
      std::vector<int16_t> out = in;
      auto filter = make_filter();
      for (size_t f = 0; f < FRAMES; ++f) filter(out.data() + f * FRAME_LENGTH);
      const auto first = static_cast<long>(RESPONSE_SETTLE_FRAMES * FRAME_LENGTH);
      const bool clipped = std::any_of(out.begin() + first, out.end(),
                                       [](int16_t v) { return v >= 32767 || v <= -32767; });
      gain = tone_gain_db(std::vector<int16_t>(in.begin() + first, in.end()),
                          std::vector<int16_t>(out.begin() + first, out.end()), hz);
      if (!clipped) break;
    }
    r.hz.push_back(hz);
    r.gain_db.push_back(gain);
  }
  return r;
}

}  // namespace

std::vector<double> level_curve_peak_grid() {
  std::vector<double> grid;
  for (int l = -90; l <= 0; ++l) grid.push_back(l);
  return grid;
}

std::vector<double> response_grid() {
  std::vector<double> grid;
  for (int k = 0;; ++k) {
    const double hz = 20.0 * std::pow(2.0, k / 12.0);
    if (hz >= 8000.0 - 1e-9) break;
    grid.push_back(hz);
  }
  grid.push_back(8000.0);
  return grid;
}

std::vector<int16_t> tone(double peak_dbfs, double hz, size_t samples) {
  // The phase offset keeps a tone at half the sampling rate from being all zeros.
  const double amplitude = 32767.0 * std::pow(10.0, peak_dbfs / 20.0);
  const double w = 2.0 * std::numbers::pi * hz / CURVE_SAMPLE_RATE;
  std::vector<int16_t> x(samples);
  for (size_t n = 0; n < samples; ++n) {
    const double v =
        std::round(amplitude * std::sin(w * static_cast<double>(n) + std::numbers::pi / 4));
    x[n] = static_cast<int16_t>(std::clamp(v, -32768.0, 32767.0));
  }
  return x;
}

double rms_dbfs(const int16_t* x, size_t n) {
  if (n == 0) return SILENCE_DB;
  double sum = 0.0;
  for (size_t i = 0; i < n; ++i) sum += static_cast<double>(x[i]) * x[i];
  return db(std::sqrt(sum / static_cast<double>(n)) / 32768.0);
}

namespace {
// Amplitude of the hz component of x by a least-squares fit of a cos + b sin.
double fitted_amplitude(const std::vector<int16_t>& x, double hz) {
  const double w = 2.0 * std::numbers::pi * hz / CURVE_SAMPLE_RATE;
  double cc = 0, ss = 0, cs = 0, xc = 0, xs = 0;
  for (size_t n = 0; n < x.size(); ++n) {
    const double c = std::cos(w * static_cast<double>(n));
    const double s = std::sin(w * static_cast<double>(n));
    cc += c * c;
    ss += s * s;
    cs += c * s;
    xc += x[n] * c;
    xs += x[n] * s;
  }
  if (ss < 1e-6 * cc) return std::abs(xc / cc);  // half the sampling rate: cosine only
  const double det = cc * ss - cs * cs;
  const double a = (xc * ss - xs * cs) / det;
  const double b = (xs * cc - xc * cs) / det;
  return std::hypot(a, b);
}
}  // namespace

double tone_gain_db(const std::vector<int16_t>& in, const std::vector<int16_t>& out, double hz) {
  const double a_in = fitted_amplitude(in, hz);
  return a_in > 0.0 ? db(fitted_amplitude(out, hz) / a_in) : SILENCE_DB;
}

LevelCurve dynamics_level_curve(const TuningSlots& slots) {
  DynamicsContext configured;
  dynamics_reset(&configured);
  dynamics_configure(&configured, slots);  // throws before any tone is run
  configured.header.enable = 1;
  return level_curve([&configured](const std::array<int16_t, FRAME_LENGTH>& tone_frame) {
    DynamicsContext ctx = configured;
    const MainCompressor& c = ctx.main_compressor;
    return settled_level(
        tone_frame,
        [&ctx](int16_t* frame) {
          ctx.header.input = frame;
          ctx.header.output = frame;
          dynamics_process(&ctx);
        },
        [&ctx, &c] {
          return std::array<int16_t, 6>{c.level,
                                        c.gain,
                                        c.makeup_gain_prev,
                                        ctx.pre_expander.gain,
                                        ctx.post_expander.level,
                                        ctx.post_expander.gain};
        });
  });
}

LevelCurve compander_limiter_level_curve(const TuningSlots& slots) {
  TuningSlots flat = slots;
  for (int s = EQ_FIRST_TAP_SLOT; s <= EQ_CENTRE_TAP_SLOT; ++s) flat[static_cast<size_t>(s)] = 0;
  auto configured = std::make_unique<EqualizerContext>();
  equalizer_reset(configured.get());
  equalizer_configure(configured.get(), flat);
  configured->header.enable = 1;
  return level_curve([&configured](const std::array<int16_t, FRAME_LENGTH>& tone_frame) {
    auto ctx = std::make_unique<EqualizerContext>(*configured);
    return settled_level(
        tone_frame,
        [&ctx](int16_t* frame) {
          ctx->header.input = frame;
          ctx->header.output = frame;
          equalizer_process(ctx.get());
        },
        [&ctx] {
          return std::make_tuple(ctx->compander.level, ctx->compander.gain, ctx->limiter.envelope,
                                 ctx->limiter.gain, ctx->delay);
        });
  });
}

MagnitudeResponse highpass_response(const TuningSlots& slots) {
  HighPassContext configured;
  highpass_reset(&configured);
  highpass_configure(&configured, slots);
  configured.header.enable = 1;
  return response([&configured] {
    return [ctx = configured](int16_t* frame) mutable {
      ctx.header.input = frame;
      ctx.header.output = frame;
      highpass_process(&ctx);
    };
  });
}

MagnitudeResponse fir_response(const TuningSlots& slots) {
  auto configured = std::make_shared<EqualizerContext>();
  equalizer_reset(configured.get());
  equalizer_configure(configured.get(), slots);
  return response([&configured] {
    auto ctx = std::make_shared<EqualizerContext>(*configured);
    return [ctx](int16_t* frame) { equalizer_fir(ctx.get(), frame, FRAME_LENGTH); };
  });
}

SuppressorCurve suppressor_bands(const TuningSlots& slots) {
  auto ctx = std::make_unique<PeakSuppressorContext>();
  peak_suppressor_reset(ctx.get());
  peak_suppressor_configure(ctx.get(), slots);
  SuppressorCurve c;
  constexpr double BIN_HZ = CURVE_SAMPLE_RATE / SUPPRESSOR_BLOCK;
  for (int b = 0; b < SUPPRESSOR_BAND_COUNT; ++b) {
    const SuppressorBand& band = SUPPRESSOR_BANDS[static_cast<size_t>(b)];
    const int threshold = ctx->band_threshold[static_cast<size_t>(b)];
    c.bands.push_back({band.first * BIN_HZ, band.last * BIN_HZ, threshold, to_db_power(threshold)});
  }
  c.mark1_gain_db = db(ctx->mark1_gain / 32768.0);
  c.mark2_gain_db = db(ctx->mark2_gain / 32768.0);
  c.rest_gain_db = db(ctx->rest1_gain / 32768.0);
  return c;
}

TuningCurves tuning_curves(const TuningSlots& slots) {
  TuningCurves c;
  try {
    c.dynamics = dynamics_level_curve(slots);
  } catch (const ArithmeticFault& e) {
    c.error = std::string("the dynamics curve cannot be drawn: ") + e.what();
  }
  c.compander_limiter = compander_limiter_level_curve(slots);
  c.highpass = highpass_response(slots);
  c.fir = fir_response(slots);
  c.suppressor = suppressor_bands(slots);
  return c;
}

}  // namespace halvern::tools
