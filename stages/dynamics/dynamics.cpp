#include "stages/dynamics/dynamics.h"

#include <algorithm>

#include "fixedpoint/basic_ops.h"
#include "fixedpoint/dsp_ops.h"
#include "tuning/slot_catalogue.h"

namespace halvern {

namespace {

constexpr int16_t MAIN_LEVEL_DEFAULT = -5120;  // dB Q7, -40 dB
constexpr int16_t UNITY_Q11 = 2048;
// Level release when it does not follow the gain release: about 1/300 per frame.
constexpr int16_t SLOW_LEVEL_RELEASE = 109;
// Pre-expander slope for a ratio setting of 0 to 4.
constexpr int16_t PRE_EXPANDER_LOW_RATIO_SLOPE = 82;
// Dividend of the stage's Q15 reciprocal of the frame length (102 for 320).
constexpr int16_t RECIPROCAL_DIVIDEND = 32676;
constexpr int THRESHOLD_MAX_DB = SLOT_CATALOGUE[slot_index("dyn_boost_threshold")].max;
constexpr int MAKEUP_MAX_DB = SLOT_CATALOGUE[slot_index("dyn_makeup_db")].max;

constexpr bool in_range(int v, int lo, int hi) { return v >= lo && v <= hi; }

// A threshold in dB Q7 from a setting in dB below full scale (at most 90 here).
constexpr int16_t threshold_q7(int db_below) { return static_cast<int16_t>(-128 * db_below); }

// Slope of the boost ramp in Q11, the makeup gain G = 128 s12 over the ramp's width
// d = T2 - T3 = 128 (s8 - s7): (div_s(16383, d << n) x G) >> (18 - n) with n = norm_s(d).
// 0 when the ramp has no width or a slot lies outside its range (no division is made then);
// saturated to 32767 when the quotient does not fit 16 bits (a 1 dB ramp with 17 or 18 dB of
// makeup). An inverted ramp (s8 < s7) with every slot in range makes div_s throw.
int16_t boost_slope_q11(int s7, int s8, int s12) {
  if (!in_range(s7, 0, THRESHOLD_MAX_DB) || !in_range(s8, 0, THRESHOLD_MAX_DB) ||
      !in_range(s12, 0, MAKEUP_MAX_DB)) {
    return 0;
  }
  const auto d = static_cast<int16_t>(128 * (s8 - s7));
  if (d == 0) return 0;
  const int16_t n = norm_s(d);
  const int16_t r = div_s(16383, shl(d, n));  // Q(29 - n) reciprocal of d
  const int32_t g = 128 * s12;
  const int32_t slope = (r * g) >> (18 - n);  // both non-negative: fits 32 bits
  return static_cast<int16_t>(std::min<int32_t>(slope, MAX_16));
}

// The sample under the Q15 gain g and then the Q11 makeup factor m, operator by operator.
int16_t main_scaled_saturating(int16_t x, int16_t g, int16_t m) {
  return round_fx(L_shl(L_mult(mult_r(x, g), m), 4));
}

}  // namespace

void apply_main_gain_saturating(int16_t* x, int n, int16_t g1, int16_t g0, int16_t m,
                                int16_t step) {
  if (g1 == g0) {
    for (int i = 0; i < n; ++i) x[i] = main_scaled_saturating(x[i], g1, m);
    return;
  }
  int16_t w = MAX_16;  // Q15 weight of the old gain
  for (int i = 0; i < n; ++i) {
    const int16_t a = main_scaled_saturating(x[i], g1, m);
    const int16_t b = main_scaled_saturating(x[i], g0, m);
    // The two weights sum to 32767, so the sum of the products stays within 32 bits.
    x[i] = round_fx(L_mult(b, w) + L_mult(sub(MAX_16, w), a));
    w = static_cast<int16_t>(std::max(0, w - step));
  }
}

void apply_main_gain(int16_t* x, int n, int16_t g1, int16_t g0, int16_t m, int16_t step) {
  // main_scaled is q11_gain(q15_product_r(x, g), m), both closed forms exact for all inputs (see
  // level_gain.h).
  if (g1 == g0) {
    for (int i = 0; i < n; ++i) x[i] = q11_gain(q15_product_r(x[i], g1), m);
    return;
  }
  // With step >= 0 the saturating form's weight after i steps is max(0, 32767 - i step), and i step
  // < 2^15 x 2^15 fits 32 bits. For 0 <= w <= 32767 neither L_mult meets its special case and
  // |b w + (32767 - w) a| <= 32767 x 32768, so twice that plus 32768 stays below 2^31: the sum
  // and round_fx do not saturate, and the result is (2 (b w + (32767 - w) a) + 32768) >> 16.
  // A frame beyond 32768 samples, where i step could pass 32 bits, takes the saturating form (as
  // does a negative step, outside the contract).
  if (step < 0 || n > 32768) {
    apply_main_gain_saturating(x, n, g1, g0, m, step);
    return;
  }
  for (int i = 0; i < n; ++i) {
    const auto w = static_cast<int16_t>(std::max(0, MAX_16 - i * step));
    const auto v = static_cast<int16_t>(MAX_16 - w);
    const int16_t a = q11_gain(q15_product_r(x[i], g1), m);
    const int16_t b = q11_gain(q15_product_r(x[i], g0), m);
    x[i] = static_cast<int16_t>((2 * (int32_t{b} * w + int32_t{v} * a) + 32768) >> 16);
  }
}

namespace {

void run_pre_expander(PreExpander* p, int16_t* x, int n, int16_t rho, const LevelGainForms& forms) {
  const int16_t level = forms.frame_level_db(x, n, MeanRule::kReciprocal, rho);
  const int16_t g =
      level > p->threshold ? MAX_16 : gain_from_db(curve_segment(p->threshold, p->slope, level));
  const int16_t g1 = smooth_gain(g, p->gain, p->gain_attack, p->gain_release);
  forms.apply_ramped_gain(x, n, g1, p->gain, RAMP10_Q15.data(), static_cast<int>(RAMP10_Q15.size()),
                          nullptr);
  p->gain = g1;
}

// Updates the smoothed level and gain of the main compressor from the frame x.
void run_main_gain_computer(MainCompressor* c, const int16_t* x, int n,
                            const LevelGainForms& forms) {
  const int16_t measured = forms.frame_level_db(x, n, MeanRule::kDivideByLength, 0);
  c->level = smooth_level(measured, c->level, c->level_attack, c->level_release);
  const int16_t g = gain_from_db(main_gain_db(*c, c->level));
  c->gain = smooth_gain(g, c->gain, c->gain_attack, c->gain_release);
}

void run_post_expander(CompanderBlock* b, int16_t* x, int n, int16_t rho,
                       const LevelGainForms& forms) {
  const int16_t measured = forms.frame_level_db(x, n, MeanRule::kReciprocal, rho);
  const int16_t level = smooth_level(measured, b->level, b->level_attack, b->level_release);
  int16_t d = 0;
  if (level <= b->exp_threshold) {
    d = sub(add(curve_segment(b->exp_threshold, b->exp_slope, level), b->offset_db), b->offset_db);
  }
  const int16_t g1 = smooth_gain(gain_from_db(d), b->gain, b->gain_attack, b->gain_release);
  forms.apply_ramped_gain(x, n, g1, b->gain, RAMP10_Q15.data(), static_cast<int>(RAMP10_Q15.size()),
                          &b->out_gain);
  b->level = level;
  b->gain = g1;
}

}  // namespace

int16_t main_gain_db(const MainCompressor& c, int16_t level) {
  const int16_t g = c.makeup_db;
  if (level > c.comp_threshold) return sub(curve_segment(c.comp_threshold, c.comp_slope, level), g);
  if (level > c.boost_threshold) {
    return sub(curve_segment(c.boost_threshold, c.flat_slope, level), g);
  }
  // The boost ramp is measured from T2 as well: -G at T2, rising to about 0 at T3.
  if (level > c.full_boost_threshold) {
    return sub(curve_segment(c.boost_threshold, c.boost_slope, level), g);
  }
  if (level > c.exp_threshold) return 0;
  return sub(add(curve_segment(c.exp_threshold, c.exp_slope, level), g), g);
}

void dynamics_reset(DynamicsContext* ctx) {
  stage_header_reset(&ctx->header, 0);
  ctx->input_gain_q11 = 0;
  ctx->output_gain_q11 = 0;
  ctx->mode = 0;

  ctx->main_compressor = MainCompressor{};
  ctx->main_compressor.makeup_gain = UNITY_Q11;
  ctx->main_compressor.level = MAIN_LEVEL_DEFAULT;
  ctx->main_compressor.gain = MAX_16;
  ctx->main_compressor.makeup_gain_prev = UNITY_Q11;

  ctx->pre_expander = PreExpander{};
  ctx->pre_expander.gain = 2048;  // Q15, 1/16

  ctx->post_expander = compander_block_defaults();
}

// The slots this stage reads.
constexpr int kDynReleaseMode = slot_index("dyn_release_mode");
constexpr int kDynAttack = slot_index("dyn_attack");
constexpr int kDynRelease = slot_index("dyn_release");
constexpr int kDynCompThreshold = slot_index("dyn_comp_threshold");
constexpr int kDynBoostThreshold = slot_index("dyn_boost_threshold");
constexpr int kDynFullBoostThreshold = slot_index("dyn_full_boost_threshold");
constexpr int kDynExpThreshold = slot_index("dyn_exp_threshold");
constexpr int kDynCompRatio = slot_index("dyn_comp_ratio");
constexpr int kDynExpRatio = slot_index("dyn_exp_ratio");
constexpr int kDynMakeupDb = slot_index("dyn_makeup_db");
constexpr int kDynInputGainDb = slot_index("dyn_input_gain_db");
constexpr int kDynOutputGainDb = slot_index("dyn_output_gain_db");
constexpr int kDynMode = slot_index("dyn_mode");
constexpr int kPreExpThreshold = slot_index("pre_exp_threshold");
constexpr int kPreExpRatio = slot_index("pre_exp_ratio");
constexpr int kPostCompThreshold = slot_index("post_comp_threshold");
constexpr int kPostCompRatio = slot_index("post_comp_ratio");
constexpr int kPostExpThreshold = slot_index("post_exp_threshold");
constexpr int kPostExpRatio = slot_index("post_exp_ratio");

void dynamics_configure(DynamicsContext* ctx, const TuningSlots& slots) {
  const auto s = [&slots](int n) { return int{slots[static_cast<size_t>(n)]}; };
  MainCompressor& c = ctx->main_compressor;
  PreExpander& pre = ctx->pre_expander;
  CompanderBlock& post = ctx->post_expander;

  // 1. Smoothing coefficients (slots 3 to 5); settings are tenths of the table index.
  if (slot_in_range(slots, kDynAttack) && slot_in_range(slots, kDynRelease)) {
    pre.gain_attack = MAX_16;
    pre.gain_release = MAX_16;
    c.level_attack = MAX_16;
    c.gain_attack = smoothing_coeff(s(kDynAttack) / 10);
    c.gain_release = smoothing_coeff(s(kDynRelease) / 10);
    c.level_release =
        s(kDynReleaseMode) == 2 ? smoothing_coeff(s(kDynRelease) / 10) : SLOW_LEVEL_RELEASE;
  }

  // 2. Thresholds T1 to T4 (slots 6 to 9), all or none.
  if (slot_in_range(slots, kDynCompThreshold) && slot_in_range(slots, kDynBoostThreshold) &&
      slot_in_range(slots, kDynFullBoostThreshold) && slot_in_range(slots, kDynExpThreshold)) {
    c.comp_threshold = threshold_q7(s(kDynCompThreshold));
    c.boost_threshold = threshold_q7(s(kDynBoostThreshold));
    c.full_boost_threshold = threshold_q7(s(kDynFullBoostThreshold));
    c.exp_threshold = threshold_q7(s(kDynExpThreshold));
  }

  // 3. Slopes (slots 10, 11; the boost ramp from slots 7, 8 and 12).
  c.comp_slope = comp_slope_q11(slot_clamped(slots, kDynCompRatio) / 5);
  c.flat_slope = 0;
  c.exp_slope = exp_slope_q11(slot_clamped(slots, kDynExpRatio) / 5);
  c.boost_slope =
      boost_slope_q11(s(kDynBoostThreshold), s(kDynFullBoostThreshold), s(kDynMakeupDb));

  // 4. Makeup gain (slot 12); a valid setting also restarts the level control's state.
  if (slot_in_range(slots, kDynMakeupDb)) {
    c.level = MAIN_LEVEL_DEFAULT;
    c.gain = MAX_16;
    c.makeup_gain_prev = UNITY_Q11;
    c.makeup_db = static_cast<int16_t>(128 * s(kDynMakeupDb));
    c.makeup_gain = MAKEUP_GAIN_Q11[static_cast<size_t>(s(kDynMakeupDb))];
  }

  // 5. Fixed gains (slots 13, 14) in whole dB.
  const auto gain_of_db = [](int db) { return DYNAMICS_GAIN_Q11[static_cast<size_t>(db + 30)]; };
  ctx->input_gain_q11 = gain_of_db(slot_clamped(slots, kDynInputGainDb));
  ctx->output_gain_q11 = gain_of_db(slot_clamped(slots, kDynOutputGainDb));

  // 6. Which expanders run (slot 15).
  ctx->mode = slots[kDynMode];

  // 7. Pre-expander (slots 16, 17).
  if (slot_in_range(slots, kPreExpThreshold) && slot_in_range(slots, kPreExpRatio)) {
    pre.threshold = threshold_q7(s(kPreExpThreshold));
    if (s(kPreExpRatio) >= 10) {
      pre.slope = exp_slope_q11(s(kPreExpRatio) / 5);
    } else {
      pre.slope = s(kPreExpRatio) < 5 ? PRE_EXPANDER_LOW_RATIO_SLOPE : int16_t{0};
    }
  }

  // 8. Post-expander (slots 18 to 21); its compressor settings are stored but never used.
  post.comp_threshold = threshold_q7(slot_clamped(slots, kPostCompThreshold));
  post.comp_slope = comp_slope_q11(slot_clamped(slots, kPostCompRatio) / 5);
  post.exp_threshold = threshold_q7(slot_clamped(slots, kPostExpThreshold));
  post.exp_slope = exp_slope_q11(slot_clamped(slots, kPostExpRatio) / 5);
}

int dynamics_process_with(DynamicsContext* ctx, const DynamicsForms& forms) {
  return stage_process(ctx, [&forms](DynamicsContext& stage) {
    const int n = stage.header.frame_length;
    if (n <= 0) return 0;
    int16_t* x = stage.header.output;
    const auto step = static_cast<int16_t>(MAX_16 / n);
    const auto rho = static_cast<int16_t>(RECIPROCAL_DIVIDEND / n);

    if ((stage.mode & DYNAMICS_MODE_PRE_EXPANDER) != 0) {
      run_pre_expander(&stage.pre_expander, x, n, rho, forms.level_gain);
    }
    apply_q11_gain(x, n, stage.input_gain_q11);

    MainCompressor& c = stage.main_compressor;
    const int16_t g0 = c.gain;
    const int16_t m = c.makeup_gain_prev;
    run_main_gain_computer(&c, x, n, forms.level_gain);
    forms.apply_main_gain(x, n, c.gain, g0, m, step);
    c.makeup_gain_prev = c.makeup_gain;

    apply_q11_gain(x, n, stage.output_gain_q11);
    if ((stage.mode & DYNAMICS_MODE_POST_EXPANDER) != 0) {
      run_post_expander(&stage.post_expander, x, n, rho, forms.level_gain);
    }
    return 0;
  });
}

int dynamics_process(DynamicsContext* ctx) { return dynamics_process_with(ctx, DYNAMICS_FAST); }

}  // namespace halvern
