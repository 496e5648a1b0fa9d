// The whole half-frame pipeline, as a user of the stage observes it at its output.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <numbers>
#include <vector>

#include "fixedpoint/dsp_ops.h"
#include "stages/suppressor/suppressor.h"

namespace halvern {
namespace {

constexpr int DELAY = SUPPRESSOR_OVERLAP;
using Signal = std::vector<int16_t>;

// No band can pass: the gains stay near unity.
TuningSlots passing_slots() {
  TuningSlots slots{};
  for (int s = 63; s <= 76; ++s) slots[s] = 32767;
  slots[77] = slots[78] = 10000;
  slots[80] = 10;
  return slots;
}

// Marks a band whose top stands 15 dB above its floor and whose line spectral frequencies show a
// peak of level 150 or more; marked bins go to 10000 (-10.3 dB).
TuningSlots suppressing_slots() {
  TuningSlots slots{};
  for (int s = 63; s <= 76; ++s) slots[s] = 40;
  slots[77] = slots[78] = 10000;
  slots[79] = 150;
  slots[80] = 10;
  return slots;
}

PeakSuppressorContext make_context(const TuningSlots& slots) {
  PeakSuppressorContext ctx;
  peak_suppressor_reset(&ctx);
  peak_suppressor_configure(&ctx, slots);
  return ctx;
}

Signal run(PeakSuppressorContext* ctx, Signal x, Diagnostics* diag = nullptr) {
  for (size_t i = 0; i + SUPPRESSOR_HALF <= x.size(); i += SUPPRESSOR_HALF) {
    peak_suppressor_process_half(ctx, x.data() + i, diag);
  }
  return x;
}

Signal sine(int halves, double hz, double amplitude) {
  Signal x(static_cast<size_t>(halves) * SUPPRESSOR_HALF);
  for (size_t n = 0; n < x.size(); ++n) {
    x[n] = static_cast<int16_t>(std::lround(
        amplitude * std::sin(2 * std::numbers::pi * hz * static_cast<double>(n) / 16000)));
  }
  return x;
}

// Uniform noise in [-amplitude, amplitude).
Signal noise(int halves, int amplitude, int16_t seed) {
  Signal x(static_cast<size_t>(halves) * SUPPRESSOR_HALF);
  for (int16_t& v : x) v = static_cast<int16_t>(Random(&seed) * amplitude / 32768);
  return x;
}

Signal mix(const Signal& a, const Signal& b) {
  Signal x(a.size());
  for (size_t n = 0; n < a.size(); ++n) x[n] = add(a[n], b[n]);
  return x;
}

// Energy of out[from..] over the energy of the input it comes from, in dB.
double gain_db(const Signal& in, const Signal& out, size_t from) {
  double e_in = 0;
  double e_out = 0;
  for (size_t n = from; n < out.size(); ++n) {
    e_in += std::pow(in[n - DELAY], 2);
    e_out += std::pow(out[n], 2);
  }
  return 10 * std::log10(e_out / e_in);
}

TEST(PeakSuppressorPipeline, SilenceInSilenceOut) {
  TuningSlots all_marked = suppressing_slots();
  for (int s = 63; s <= 76; ++s) all_marked[s] = -100;
  all_marked[79] = 32767;
  for (const TuningSlots& slots : {passing_slots(), suppressing_slots(), all_marked}) {
    PeakSuppressorContext ctx = make_context(slots);
    Diagnostics diag;
    EXPECT_EQ(run(&ctx, Signal(40 * SUPPRESSOR_HALF, 0), &diag), Signal(40 * SUPPRESSOR_HALF, 0));
    EXPECT_EQ(diag.count, 0u);
  }
}

TEST(PeakSuppressorPipeline, FirstHalf) {
  // The first half clears the history, the overlap and the gains, and takes smoothed_power
  // straight from the averaged powers (floored at 10).
  PeakSuppressorContext ctx = make_context(passing_slots());
  ctx.history.fill(12345);
  ctx.overlap.fill(-2222);
  ctx.gain.fill(77);
  ctx.smoothed_power.fill(987654321);
  PeakSuppressorContext clean = make_context(passing_slots());
  const Signal x = mix(sine(6, 700, 3000), noise(6, 500, 99));
  Signal first(x.begin(), x.begin() + SUPPRESSOR_HALF);
  peak_suppressor_process_half(&ctx, first.data(), nullptr);
  EXPECT_EQ(ctx.first_call, 0);
  for (int k = 0; k < SUPPRESSOR_BINS; ++k) {
    EXPECT_EQ(ctx.smoothed_power[k], std::max(ctx.power_avg[k], int32_t{10})) << k;
  }
  ctx = make_context(passing_slots());
  ctx.history.fill(12345);
  ctx.overlap.fill(-2222);
  ctx.gain.fill(77);
  EXPECT_EQ(run(&ctx, x), run(&clean, x));
}

TEST(PeakSuppressorPipeline, ImpulseShowsUp96SamplesLater) {
  // A lone impulse has a flat spectrum, which the inverse transform sums coherently beyond its
  // five bits of headroom: it clips there and comes out lower, but in its place.
  for (int p : {10, 100, 159, 250, 333, 700}) {
    PeakSuppressorContext ctx = make_context(passing_slots());
    Signal x(8 * SUPPRESSOR_HALF, 0);
    x[p] = 20000;
    const Signal out = run(&ctx, x);
    const auto peak = std::max_element(
        out.begin(), out.end(), [](int16_t a, int16_t b) { return std::abs(a) < std::abs(b); });
    EXPECT_EQ(peak - out.begin(), p + DELAY) << p;
    EXPECT_GT(*peak, 4000) << p;
    for (size_t n = 0; n < out.size(); ++n) {
      if (static_cast<int>(n) != p + DELAY) {
        EXPECT_LT(std::abs(out[n]), *peak / 8) << p << " " << n;
      }
    }
  }
}

TEST(PeakSuppressorPipeline, UnmarkedStageFollowsTheInputDelayedBy96) {
  const int halves = 60;
  const Signal x = mix(mix(sine(halves, 300, 5000), sine(halves, 1250, 3000)),
                       mix(sine(halves, 3100, 2000), noise(halves, 200, 7)));
  PeakSuppressorContext ctx = make_context(passing_slots());
  const Signal out = run(&ctx, x);
  // The input peaks near 10000; the rounding of the transforms stays below 1.5 % of that and
  // 40 dB below the signal, from output sample 96 on (input sample 0).
  int worst = 0;
  double error = 0;
  double signal = 0;
  for (size_t n = DELAY; n < out.size(); ++n) {
    worst = std::max(worst, std::abs(out[n] - x[n - DELAY]));
    error += std::pow(out[n] - x[n - DELAY], 2);
    signal += std::pow(x[n - DELAY], 2);
  }
  EXPECT_LE(worst, 150);
  EXPECT_LT(10 * std::log10(error / signal), -40.0);
  // The first 96 output samples come from the zeroed history: small, though not all 0.
  const auto first = std::minmax_element(out.begin(), out.begin() + DELAY);
  EXPECT_LT(std::max(-*first.first, int{*first.second}), 200);
  EXPECT_NE(*first.first, *first.second);

  for (int16_t mark : ctx.band_mark) EXPECT_EQ(mark, 0);
  EXPECT_EQ(ctx.gain[0], 32767);
  for (int k = 1; k <= 126; ++k) EXPECT_EQ(ctx.gain[k], 32766) << k;
  EXPECT_EQ(ctx.gain[127], 10000);
}

TEST(PeakSuppressorPipeline, SteadySineIsLoweredAndNoiseLeftAlone) {
  const int halves = 200;
  const size_t settled = (halves - 40) * SUPPRESSOR_HALF;
  PeakSuppressorContext ctx = make_context(suppressing_slots());
  const Signal tone = mix(sine(halves, 2000, 8000), noise(halves, 64, 11));
  const Signal out = run(&ctx, tone);
  EXPECT_GT(ctx.band_mark[3], 0);  // bins 25 to 47 hold the sine at bin 32
  EXPECT_NEAR(gain_db(tone, out, settled), 20 * std::log10(10000.0 / 32767), 1.0);

  ctx = make_context(suppressing_slots());
  const Signal hiss = noise(halves, 64, 11);
  const Signal quiet = run(&ctx, hiss);
  for (int16_t mark : ctx.band_mark) EXPECT_EQ(mark, 0);
  EXPECT_NEAR(gain_db(hiss, quiet, DELAY), 0.0, 0.3);
}

TEST(PeakSuppressorPipeline, FullScaleSaturatesWithoutWrapping) {
  // A square wave between the two ends of the range, 640 samples per period.
  Signal x(40 * SUPPRESSOR_HALF);
  for (size_t n = 0; n < x.size(); ++n) x[n] = (n / 320) % 2 == 0 ? MAX_16 : MIN_16;
  for (const TuningSlots& slots : {passing_slots(), suppressing_slots()}) {
    PeakSuppressorContext ctx = make_context(slots);
    const Signal out = run(&ctx, x);
    EXPECT_NE(std::count(out.begin(), out.end(), MAX_16), 0);
    EXPECT_NE(std::count(out.begin(), out.end(), MIN_16), 0);
    // Away from the edges of the square the output keeps the sign of its input.
    for (size_t n = 2 * SUPPRESSOR_HALF; n < out.size(); ++n) {
      const size_t phase = (n - DELAY) % 320;
      if (phase < 40 || phase > 280) continue;
      ASSERT_GT(x[n - DELAY] > 0 ? out[n] : -out[n], 16000) << n;
    }
  }
}

TEST(PeakSuppressorPipeline, ContinuousAndInterruptedProcessingAgree) {
  const int halves = 60;
  const Signal x = mix(sine(halves, 2000, 8000), noise(halves, 64, 3));
  PeakSuppressorContext whole = make_context(suppressing_slots());
  const Signal expected = run(&whole, x);
  // The same stream half by half from buffers of their own, the context moved to a copy after
  // 23 halves.
  PeakSuppressorContext ctx = make_context(suppressing_slots());
  PeakSuppressorContext later;
  PeakSuppressorContext* current = &ctx;
  Signal out;
  for (int h = 0; h < halves; ++h) {
    if (h == 23) {
      later = ctx;
      ctx = make_context(passing_slots());
      current = &later;
    }
    Signal half(x.begin() + h * SUPPRESSOR_HALF, x.begin() + (h + 1) * SUPPRESSOR_HALF);
    peak_suppressor_process_half(current, half.data(), nullptr);
    out.insert(out.end(), half.begin(), half.end());
  }
  EXPECT_EQ(out, expected);
}

}  // namespace
}  // namespace halvern
