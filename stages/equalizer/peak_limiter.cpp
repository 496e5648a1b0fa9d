#include "stages/equalizer/peak_limiter.h"

#include <algorithm>
#include <cstddef>

#include "dsp/level_gain.h"
#include "fixedpoint/basic_ops.h"

namespace halvern {

int32_t limiter_envelope_step(int16_t a, int16_t* envelope) {
  const int16_t c = a > *envelope ? LIMITER_ATTACK_Q15 : LIMITER_RELEASE_Q15;
  const int32_t E = L_mac(L_mult(a, c), static_cast<int16_t>(MAX_16 - c), *envelope);
  *envelope = extract_h(E);
  return E;
}

int16_t limiter_level_db(int32_t E) {
  if (E == 0) return LIMITER_SILENCE_DB_Q7;
  const int16_t s = norm_l(E);
  const int32_t M = L_shl(E, s);
  // M lies in [2^30, 2^31) for E > 0, so k = M >> 24 is 64..127 and its low six bits are k - 64.
  const auto k = static_cast<std::size_t>((M >> 24) & 63);
  const int16_t L = add(shl(negate(s), 9), LIMITER_LOG2_MANTISSA_Q9[k]);
  // |L| <= 31 x 512, so twice the product stays within 16 bits.
  return static_cast<int16_t>(2 * mult(L, 24660));  // 24660 = 10 log10(2) / 4, Q15
}

int16_t limiter_gain(int16_t level, int16_t T, int16_t slope) {
  if (level <= T) return MAX_16;
  const int16_t t = extract_h(L_mult(sub(T, level), slope));  // truncated, not rounded
  if (t == 0) return MAX_16;
  return extract_h(db_to_gain_q31(t));
}

void peak_limit_per_sample(int16_t* x, int n, PeakLimiter* limiter, int16_t* delay,
                           int16_t* delay_index, int16_t delay_length) {
  // The threshold less the offset, as a wrapping 16-bit difference (the offset is always 0).
  const auto T = static_cast<int16_t>(limiter->threshold - limiter->offset_db);
  int idx = *delay_index;
  for (int i = 0; i < n; ++i) {
    delay[idx] = x[i];  // written before the read below, so the delay is delay_length - 1
    const int32_t E = limiter_envelope_step(abs_s(x[i]), &limiter->envelope);
    const int16_t g = limiter_gain(limiter_level_db(E), T, limiter->slope);
    limiter->gain = static_cast<int16_t>((limiter->gain + g) >> 1);
    const int j = idx < delay_length - 1 ? idx + 1 : 0;
    const int16_t y = extract_h(L_mult(delay[j], limiter->gain));
    x[i] = round_fx(L_shl(L_mult(y, limiter->out_gain), 4));
    idx = j;
  }
  *delay_index = static_cast<int16_t>(idx);
}

int64_t limiter_first_loud_envelope(int16_t T) {
  // Over E >= 1 the level never falls as E grows: with s = norm_l(E) and k the top seven bits
  // of E << s, L = -512 s + table[k - 64] grows with k while s holds (the table rises), and
  // where E reaches the next power of two s drops by one and k falls from 127 to 64, so L goes
  // from -512 s - 6 to -512 s, up again; 2 mult(L, 24660) keeps that order. Hence the envelopes
  // whose level passes T are exactly those from the first one on, found by bisection.
  if (limiter_level_db(MAX_32) <= T) return int64_t{MAX_32} + 1;
  int32_t lo = 1;
  int32_t hi = MAX_32;  // its level passes T
  while (lo < hi) {
    const int32_t mid = lo + (hi - lo) / 2;
    if (limiter_level_db(mid) > T) {
      hi = mid;
    } else {
      lo = mid + 1;
    }
  }
  return lo;
}

namespace {

// Samples limited at once by the fast form, and the longest delay line it handles (longer ones
// take the per-sample form).
constexpr int LIMIT_CHUNK = 640;
constexpr int LIMIT_MAX_FAST_DELAY = 1024;

// One chunk of at most LIMIT_CHUNK samples; 1 <= delay_length <= LIMIT_MAX_FAST_DELAY.
void peak_limit_chunk(int16_t* x, int n, PeakLimiter* limiter, int16_t* delay, int16_t* delay_index,
                      int delay_length, int16_t T) {
  // First the sequential part: the envelope and the smoothed gain after every sample.
  // Envelope step: a = abs_s(x) is 0..32767 and c is 23379 or 14, so L_mult(a, c) = 2 a c and
  // L_mult(32767 - c, e) = 2 (32767 - c) e (no -32768 x -32768), and their sum is at most
  // 2 x 32768 x (c + 32767 - c) < 2^31 in magnitude: L_mac does not saturate and E is
  // 2 (a c + (32767 - c) e), exact in 32 bits; its upper half is (a c + (32767 - c) e) >> 15.
  // Both candidates are formed before the comparison picks one, which keeps the chain from one
  // envelope to the next short.
  // Gain: limiter_gain gives 32767 whenever the level is at or below T, which holds for every
  // E from 1 up to (not including) the first loud envelope, and for E = 0 (level -11520) when
  // -11520 <= T; only the other envelopes need the logarithm and the dB-to-gain chain. The quiet
  // envelopes form the range [quiet_from, loud_from), tested as one unsigned comparison of
  // E - quiet_from against its width (at most 2^31).
  int16_t magnitude[LIMIT_CHUNK];
  for (int i = 0; i < n; ++i) {
    const int32_t v = x[i];
    magnitude[i] = static_cast<int16_t>(std::min(v < 0 ? -v : v, int32_t{MAX_16}));  // abs_s
  }
  int16_t gains[LIMIT_CHUNK];
  const uint32_t quiet_from = LIMITER_SILENCE_DB_Q7 <= T ? 0 : 1;
  const auto quiet_width = static_cast<uint32_t>(limiter->loud_envelope - quiet_from);
  int32_t env = limiter->envelope;
  int32_t gain = limiter->gain;
  for (int i = 0; i < n; ++i) {
    const int32_t a = magnitude[i];
    const int32_t attack = LIMITER_ATTACK_Q15 * a + (MAX_16 - LIMITER_ATTACK_Q15) * env;
    const int32_t release = LIMITER_RELEASE_Q15 * a + (MAX_16 - LIMITER_RELEASE_Q15) * env;
    const int32_t half = a > env ? attack : release;
    const int32_t E = 2 * half;
    env = half >> 15;
    int32_t g = MAX_16;
    if (static_cast<uint32_t>(E) - quiet_from >= quiet_width) {
      g = limiter_gain(limiter_level_db(E), T, limiter->slope);
    }
    gain = (gain + g) >> 1;
    gains[i] = static_cast<int16_t>(gain);
  }
  limiter->envelope = static_cast<int16_t>(env);
  limiter->gain = static_cast<int16_t>(gain);

  // The delay line as one run: the delay_length - 1 entries still to leave it, oldest first,
  // then the chunk. Sample i of the output reads entry i of the run: the per-sample form reads
  // the entry after the one it has just written, which holds the sample delay_length - 1 before.
  int16_t line[LIMIT_MAX_FAST_DELAY - 1 + LIMIT_CHUNK];
  const int idx = *delay_index;
  const int old = delay_length - 1;
  for (int p = 0; p < old; ++p) {
    const int q = idx + 1 + p;
    line[p] = delay[q < delay_length ? q : q - delay_length];
  }
  std::copy(x, x + n, line + old);
  // The per-sample form leaves each delay entry holding the last sample written to it.
  for (int i = std::max(0, n - delay_length); i < n; ++i) {
    const int q = (idx + i) % delay_length;
    delay[q] = line[old + i];
  }
  *delay_index = static_cast<int16_t>((idx + n) % delay_length);

  // Then the element-wise part. extract_h(L_mult(d, g)) is (d g) >> 15, except for
  // d = g = -32768, where L_mult gives MAX_32 and the high half is 32767 while (d g) >> 15 is
  // 32768, the only value above 32767 it reaches; the output factor is q11_gain.
  for (int i = 0; i < n; ++i) {
    x[i] = static_cast<int16_t>(std::min((int32_t{line[i]} * gains[i]) >> 15, int32_t{MAX_16}));
  }
  apply_q11_gain(x, n, limiter->out_gain);
}

}  // namespace

void peak_limit(int16_t* x, int n, PeakLimiter* limiter, int16_t* delay, int16_t* delay_index,
                int16_t delay_length) {
  if (delay_length < 1 || delay_length > LIMIT_MAX_FAST_DELAY) {
    peak_limit_per_sample(x, n, limiter, delay, delay_index, delay_length);
    return;
  }
  // The threshold less the offset, as a wrapping 16-bit difference (the offset is always 0).
  const auto T = static_cast<int16_t>(limiter->threshold - limiter->offset_db);
  if (!limiter->loud_known || limiter->loud_threshold != T) {
    limiter->loud_envelope = limiter_first_loud_envelope(T);
    limiter->loud_threshold = T;
    limiter->loud_known = true;
  }
  for (int start = 0; start < n; start += LIMIT_CHUNK) {
    peak_limit_chunk(x + start, std::min(LIMIT_CHUNK, n - start), limiter, delay, delay_index,
                     delay_length, T);
  }
}

}  // namespace halvern
