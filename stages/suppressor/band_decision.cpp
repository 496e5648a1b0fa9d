// Spectrum smoothing over time, band peak-to-floor levels and the band marks.
#include <array>
#include <bit>

#include "fixedpoint/dsp_ops.h"
#include "stages/suppressor/suppressor_steps.h"

namespace halvern {

namespace {

inline constexpr int32_t SMOOTHED_POWER_MIN = 10;
inline constexpr int32_t FLOOR_OFFSET = 8000;      // added to a band's floor before the ratio
inline constexpr int16_t STRONG_MARK_MARGIN = 10;  // level units above the threshold for mark 2
inline constexpr int FIRST_SPREADING_BAND = 3;     // bands 3 to 11 mark their two neighbours
inline constexpr int LAST_SPREADING_BAND = 11;

}  // namespace

// 16 top / (bottom + 8000), by a Q31 division of the normalised pair, num below den.
int16_t band_level_saturating(int32_t top, int32_t bottom, Diagnostics* diag) {
  int32_t den = L_add(bottom, FLOOR_OFFSET);
  int32_t num = top == 0 ? 1 : top;
  const int16_t nd = norm_l(den);
  den = L_shl(den, nd);
  const int16_t nn = norm_l(num);
  num = L_shl(num, static_cast<int16_t>(nn - 1));
  const int32_t q = L_divide(num, den, diag);
  int32_t r = L_shr(q, static_cast<int16_t>(nn - nd + 26));
  if (r == 0) r = 1;
  return energy_level(r);
}

void smooth_spectrum_saturating(PeakSuppressorContext* ctx) {
  for (int k = 0; k < SUPPRESSOR_BINS; ++k) {
    int32_t s = ctx->power_avg[k];
    if (ctx->first_call != 1) {
      s = L_add(Mpy_norm_32(ctx->power_avg[k], POWER_NEW_WEIGHT_HI, POWER_NEW_WEIGHT_LO),
                Mpy_norm_32(ctx->smoothed_power[k], POWER_OLD_WEIGHT_HI, POWER_OLD_WEIGHT_LO));
    }
    ctx->smoothed_power[k] = s < SMOOTHED_POWER_MIN ? SMOOTHED_POWER_MIN : s;
  }
}

namespace {

// x with every bit below its fifteen leading ones cleared (x >= 0): the bits that survive
// extract_h(L_shl(x, norm_l(x))).
constexpr uint32_t leading_fifteen(uint32_t x) {
  uint32_t y = x | (x >> 1);
  y |= y >> 2;
  y |= y >> 4;
  y |= y >> 8;
  y |= y >> 16;  // ones from the leading bit down
  return x & ~(y >> 15);
}

// Mpy_norm_32(x, c_hi, c_lo) for x >= 0 and the power weights, as (leading_fifteen(x) C) >> 30
// with C = 32768 c_hi + c_lo, the weight in Q30. With n = norm_l(x) and h = (x << n) >> 16 the
// operator forms p = 2 h c_hi + ((2 h c_lo) >> 15) (no saturation: h < 2^15, c_hi <= 17509) and
// returns p >> n. A floor of a floor by powers of two is one floor, so p >> n =
// floor(2 h C / 2^(15 + n)) = floor(h 2^(16 - n) C / 2^30), and h 2^(16 - n) is x with its bits
// below the fifteen leading ones cleared (x itself when n > 16: then h = x 2^(n - 16) exactly).
// The product stays below 2^61.
constexpr int32_t weighted_power(int32_t x, uint32_t weight_q30) {
  const uint64_t kept = leading_fifteen(static_cast<uint32_t>(x));
  return static_cast<int32_t>((kept * weight_q30) >> 30);
}

// Band b covers bins 1 + 8b to 23 + 8b, as band_levels' runs assume.
constexpr bool bands_in_runs_of_eight() {
  for (int b = 0; b < SUPPRESSOR_BAND_COUNT; ++b) {
    if (SUPPRESSOR_BANDS[b].first != 1 + 8 * b || SUPPRESSOR_BANDS[b].last != 23 + 8 * b) {
      return false;
    }
  }
  return true;
}

constexpr uint32_t POWER_NEW_WEIGHT = 32768u * POWER_NEW_WEIGHT_HI + POWER_NEW_WEIGHT_LO;
constexpr uint32_t POWER_OLD_WEIGHT = 32768u * POWER_OLD_WEIGHT_HI + POWER_OLD_WEIGHT_LO;
// The weights add up to less than 1 (in Q30), so for inputs up to MAX_32 the sum of the two
// terms stays below 2^31 and L_add never saturates.
static_assert(POWER_NEW_WEIGHT + POWER_OLD_WEIGHT < (uint32_t{1} << 30));

}  // namespace

void smooth_spectrum(PeakSuppressorContext* ctx) {
  if (ctx->first_call == 1) {
    for (int k = 0; k < SUPPRESSOR_BINS; ++k) {
      const int32_t s = ctx->power_avg[k];
      ctx->smoothed_power[k] = s < SMOOTHED_POWER_MIN ? SMOOTHED_POWER_MIN : s;
    }
    return;
  }
  // Powers are never negative; should a context hold a negative value, the saturating form
  // handles it.
  int32_t signs = 0;
  for (int k = 0; k < SUPPRESSOR_BINS; ++k) signs |= ctx->power_avg[k] | ctx->smoothed_power[k];
  if (signs < 0) {
    smooth_spectrum_saturating(ctx);
    return;
  }
  for (int k = 0; k < SUPPRESSOR_BINS; ++k) {
    const int32_t s = weighted_power(ctx->power_avg[k], POWER_NEW_WEIGHT) +
                      weighted_power(ctx->smoothed_power[k], POWER_OLD_WEIGHT);
    ctx->smoothed_power[k] = s < SMOOTHED_POWER_MIN ? SMOOTHED_POWER_MIN : s;
  }
}

namespace {

// band_level_saturating for 0 <= bottom <= top, without saturation or messages:
// - den = bottom + 8000 (MAX_32 where L_add saturates) lies in [8000, MAX_32], so nd = norm_l
//   lies in [0, 17] and dn = den << nd in [2^30, 2^31); num = max(top, 1) gives nn in [0, 30]
//   and L_shl(num, nn - 1) = nm in [2^29, 2^30) (a right shift by one for nn = 0). So
//   0 <= nm <= dn: L_divide takes its valid path, which L_divide_normalised forms.
// - L_shr by s = nn - nd + 26 in [9, 56] is q >> s for q >= 0, or 0 from s = 31 on; 0 becomes 1.
// band_pair forms (dn, nm, s), band_level_from the level from them and the division's seed.
void band_pair(int32_t top, int32_t bottom, int32_t& dn, int32_t& nm, int32_t& shift) {
  const int32_t den = bottom > MAX_32 - FLOOR_OFFSET ? MAX_32 : bottom + FLOOR_OFFSET;
  const int32_t num = top == 0 ? 1 : top;
  const int nd = std::countl_zero(static_cast<uint32_t>(den)) - 1;  // norm_l of a positive value
  const int nn = std::countl_zero(static_cast<uint32_t>(num)) - 1;
  dn = static_cast<int32_t>(static_cast<uint32_t>(den) << nd);
  nm = nn == 0 ? num >> 1 : static_cast<int32_t>(static_cast<uint32_t>(num) << (nn - 1));
  shift = nn - nd + 26;
}

int16_t band_level_from(int32_t dn, int32_t nm, int32_t shift, int32_t seed) {
  const int32_t q = L_divide_seeded(nm, dn, seed);
  const int32_t r = shift >= 31 ? 0 : q >> (shift & 31);  // the mask only keeps the shift defined
  return energy_level(r == 0 ? 1 : r);
}

}  // namespace

void band_levels(PeakSuppressorContext* ctx, Diagnostics* diag) {
  // Band b covers bins 1 + 8b .. 23 + 8b: the runs of seven bins 1 + 8q .. 7 + 8q for
  // q = b, b + 1, b + 2 and the single bins 8 + 8q for q = b, b + 1. The largest and smallest
  // value of each run are found once and shared by the three bands that hold it.
  constexpr int RUNS = SUPPRESSOR_BAND_COUNT + 2;
  static_assert(bands_in_runs_of_eight());
  std::array<int32_t, RUNS> run_top{};
  std::array<int32_t, RUNS> run_bottom{};
  for (int q = 0; q < RUNS; ++q) {
    int32_t top = 0;
    int32_t bottom = MAX_32;
    for (int k = 1 + 8 * q; k <= 7 + 8 * q; ++k) {
      top = ctx->smoothed_power[k] > top ? ctx->smoothed_power[k] : top;
      bottom = ctx->smoothed_power[k] < bottom ? ctx->smoothed_power[k] : bottom;
    }
    run_top[q] = top;
    run_bottom[q] = bottom;
  }
  std::array<int32_t, SUPPRESSOR_BAND_COUNT> top;
  std::array<int32_t, SUPPRESSOR_BAND_COUNT> bottom;
  int32_t lowest = 0;
  for (int b = 0; b < SUPPRESSOR_BAND_COUNT; ++b) {
    int32_t t = run_top[b];
    int32_t m = run_bottom[b];
    for (const int32_t v : {ctx->smoothed_power[8 + 8 * b], run_top[b + 1],
                            ctx->smoothed_power[16 + 8 * b], run_top[b + 2]}) {
      t = v > t ? v : t;
    }
    for (const int32_t v : {ctx->smoothed_power[8 + 8 * b], run_bottom[b + 1],
                            ctx->smoothed_power[16 + 8 * b], run_bottom[b + 2]}) {
      m = v < m ? v : m;
    }
    top[b] = t;
    bottom[b] = m;
    lowest = m < lowest ? m : lowest;
  }
  if (lowest < 0) {
    // Powers are never negative; a context holding one takes the operator chain.
    for (int b = 0; b < SUPPRESSOR_BAND_COUNT; ++b) {
      ctx->band_level[b] = band_level_saturating(top[b], bottom[b], diag);
    }
    return;
  }
  // band_level_saturating for every band, all powers being at least 0, in three loops so that the
  // two without the division run on vectors: the normalised pairs, the divisions' seeds, the rest.
  alignas(32) std::array<int32_t, SUPPRESSOR_BAND_COUNT> dn;
  alignas(32) std::array<int32_t, SUPPRESSOR_BAND_COUNT> nm;
  alignas(32) std::array<int32_t, SUPPRESSOR_BAND_COUNT> shift;
  alignas(32) std::array<int32_t, SUPPRESSOR_BAND_COUNT> seed;
  for (int b = 0; b < SUPPRESSOR_BAND_COUNT; ++b) {
    band_pair(top[b], bottom[b], dn[b], nm[b], shift[b]);
  }
  for (int b = 0; b < SUPPRESSOR_BAND_COUNT; ++b) seed[b] = L_divide_seed(dn[b]);
  for (int b = 0; b < SUPPRESSOR_BAND_COUNT; ++b) {
    ctx->band_level[b] = band_level_from(dn[b], nm[b], shift[b], seed[b]);
  }
}

int16_t band_decision(PeakSuppressorContext* ctx) {
  auto& mark = ctx->band_mark;
  auto& hold = ctx->band_hold;
  for (int b = 0; b < SUPPRESSOR_BAND_COUNT; ++b) {
    int16_t h = 0;
    if (ctx->band_level[b] > ctx->band_threshold[b] && ctx->peak_flag[b] == 1) {
      mark[b] = mark[b] == 2 ? 2 : 1;
      hold[b] = 1;
      if (b >= FIRST_SPREADING_BAND && b <= LAST_SPREADING_BAND) {
        mark[b - 1] = 1;
        mark[b + 1] = 1;
        hold[b - 1] = 1;
        hold[b + 1] = 1;
      }
      if (int32_t{ctx->band_level[b]} > int32_t{ctx->band_threshold[b]} + STRONG_MARK_MARGIN) {
        mark[b] = 2;
      }
      h = 1;
    } else {
      h = hold[b];
      if (h > 0 && h < ctx->hold_max) {
        h = static_cast<int16_t>(h + 1);
      } else {
        h = 0;
        mark[b] = 0;
      }
      hold[b] = h;
    }
    if (h > ctx->hold_max) hold[b] = ctx->hold_max;
  }

  for (int b = 0; b < SUPPRESSOR_BAND_COUNT; ++b) {
    if (mark[b] == 1 || mark[b] == 2) return mark[b];
  }
  return 0;
}

}  // namespace halvern
