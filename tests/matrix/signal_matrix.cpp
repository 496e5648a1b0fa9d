#include "tests/matrix/signal_matrix.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>

#include "engine/engine.h"
#ifdef HALVERN_REFERENCE_ENGINE
#include "engine/engine_reference.h"
#endif

namespace halvern {
namespace {

// The engine the matrix runs: the reference engine in the reference engine build.
#ifdef HALVERN_REFERENCE_ENGINE
namespace matrix_engine = halvern::reference;
#else
namespace matrix_engine = halvern;
#endif

// A 32-bit linear congruential generator: the same numbers everywhere.
struct Lcg {
  uint32_t state;
  uint32_t next() {
    state = state * 1664525u + 1013904223u;
    return state;
  }
  // Roughly Gaussian, from the sum of four uniform 16-bit values: mean 0, deviation about 37837.
  int32_t gaussian() {
    int32_t sum = 0;
    for (int i = 0; i < 4; ++i) sum += static_cast<int32_t>(next() >> 16) - 32768;
    return sum;
  }
};

// sin(2 pi phase / 65536) times amplitude, by the rational approximation 16x(P-x)/(5P^2-4x(P-x))
// on each half period (error below 0.2 % of full scale), in integers.
int32_t integer_sine(uint32_t phase, int32_t amplitude) {
  const int64_t p = 32768;
  const int64_t x = phase & 0x7fff;
  const int64_t num = 16 * x * (p - x);
  const int64_t den = 5 * p * p - 4 * x * (p - x);
  const int64_t v = amplitude * num / den;
  return static_cast<int32_t>((phase & 0x8000) != 0 ? -v : v);
}

int16_t clip(int64_t v) {
  return static_cast<int16_t>(v > 32767 ? 32767 : (v < -32768 ? -32768 : v));
}

}  // namespace

TuningSlots example_tuning() {
  TuningSlots slots{};
  std::FILE* f = std::fopen(HALVERN_EXAMPLE_TUNING, "rb");
  if (f == nullptr || !tuning_load(f, &slots)) {
    std::fprintf(stderr, "cannot read the example tuning %s\n", HALVERN_EXAMPLE_TUNING);
    std::abort();
  }
  std::fclose(f);
  return slots;
}

std::vector<MatrixSignal> matrix_signals(const std::string& speech_path, int frames) {
  const size_t n = static_cast<size_t>(frames) * FRAME_LENGTH;
  std::vector<MatrixSignal> signals;
  auto add = [&](const std::string& name, auto generate) {
    MatrixSignal s{name, std::vector<int16_t>(n)};
    for (size_t i = 0; i < n; ++i) s.samples[i] = generate(i);
    signals.push_back(std::move(s));
  };

  if (!speech_path.empty()) {
    std::ifstream f(speech_path, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
    const size_t available = bytes.size() / 2;
    if (available > 0) {
      add("speech", [&](size_t i) {
        const size_t k = (i % available) * 2;
        return static_cast<int16_t>(static_cast<uint8_t>(bytes[k]) |
                                    (static_cast<uint8_t>(bytes[k + 1]) << 8));
      });
      const std::vector<int16_t> speech = signals.back().samples;
      add("speech_quiet", [&](size_t i) { return static_cast<int16_t>(speech[i] / 40); });
      add("speech_clipped", [&](size_t i) { return clip(int64_t{speech[i]} * 6); });
    }
  }
  for (const int shift : {0, 4, 9}) {
    Lcg rng{0x1234567u + static_cast<uint32_t>(shift)};
    add("noise_" + std::to_string(shift), [&](size_t) {
      return shift == 0 ? static_cast<int16_t>(rng.next() >> 16)
                        : clip(rng.gaussian() >> (shift + 1));
    });
  }
  add("square_full", [](size_t i) { return (i / 20) % 2 ? int16_t{-32768} : int16_t{32767}; });
  uint32_t sweep_phase = 0;
  add("sweep", [&, n](size_t i) {
    // 50 Hz to 7950 Hz, linear in time; the phase is in units of 2 pi / 2^32.
    const uint64_t freq_q16 = (50u << 16) + (uint64_t{7900} << 16) * i / n;
    sweep_phase += static_cast<uint32_t>(freq_q16 * 65536 / 16000);
    return static_cast<int16_t>(integer_sine(sweep_phase >> 16, 24000));
  });
  add("dc", [](size_t) { return int16_t{12000}; });
  add("silence", [](size_t) { return int16_t{0}; });
  Lcg voice{99};
  uint32_t howl_phase = 0;
  add("howl", [&, n](size_t i) {
    // Noise bursts like syllables, and a 2.7 kHz tone rising over the second half.
    const int32_t bed = ((i / 2400) % 3 != 2) ? (voice.gaussian() >> 4) : (voice.gaussian() >> 9);
    howl_phase += 2700u * 65536u / 16000u;
    const int64_t rise =
        i < n / 2 ? 0 : static_cast<int64_t>(i - n / 2) * 28000 / static_cast<int64_t>(n / 2);
    return clip(bed + integer_sine(howl_phase & 0xffff, static_cast<int32_t>(rise)));
  });
  return signals;
}

std::vector<MatrixTuning> matrix_tunings() {
  std::vector<MatrixTuning> tunings;
  const TuningSlots example = example_tuning();
  const std::pair<const char*, int16_t> masks[] = {
      {"highpass", STAGE_BIT_HIGHPASS},     {"dynamics", STAGE_BIT_DYNAMICS},
      {"equalizer", STAGE_BIT_EQUALIZER},   {"dither", STAGE_BIT_DITHER},
      {"suppressor", STAGE_BIT_SUPPRESSOR}, {"all", 31}};
  for (const auto& [name, mask] : masks) {
    MatrixTuning t{name, example};
    t.slots[0] = mask;
    tunings.push_back(t);
  }
  MatrixTuning zero{"all_zero_slots", TuningSlots{}};
  zero.slots[0] = 31;
  tunings.push_back(zero);
  MatrixTuning top{"all_max", TuningSlots{}};
  top.slots.fill(32767);
  tunings.push_back(top);
  MatrixTuning bottom{"all_min", TuningSlots{}};
  bottom.slots.fill(-32768);
  bottom.slots[0] = 31;
  tunings.push_back(bottom);
  MatrixTuning hot{"hot", example};  // strong settings: sharp cut, big gains, eager suppressor
  hot.slots[1] = 800;
  hot.slots[2] = 240;
  hot.slots[12] = 18;
  hot.slots[13] = 23;
  hot.slots[15] = 3;
  hot.slots[58] = 240;
  hot.slots[59] = 204;
  for (int b = 63; b <= 76; ++b) hot.slots[static_cast<size_t>(b)] = 0;
  hot.slots[79] = 32767;
  hot.slots[80] = 3;
  tunings.push_back(hot);
  MatrixTuning inverted{"inverted_boost", example};  // the settings end the run
  inverted.slots[7] = 30;
  inverted.slots[8] = 20;
  tunings.push_back(inverted);
  Lcg rng{2024};
  for (int k = 0; k < 6; ++k) {
    MatrixTuning t{"random_" + std::to_string(k), TuningSlots{}};
    for (auto& v : t.slots) v = static_cast<int16_t>(rng.next() >> 16);
    for (size_t i = 1; i < t.slots.size(); ++i) {
      // Half of the slots in the ranges the stages use, so that the settings take effect.
      if ((rng.next() >> 31) != 0) t.slots[i] = static_cast<int16_t>((rng.next() >> 16) % 100);
    }
    t.slots[0] = 31;
    tunings.push_back(t);
  }
  return tunings;
}

uint64_t hash_samples(const std::vector<int16_t>& samples) {
  uint64_t h = 14695981039346656037ull;
  for (const int16_t s : samples) {
    const auto u = static_cast<uint16_t>(s);
    for (const uint8_t byte : {static_cast<uint8_t>(u & 0xff), static_cast<uint8_t>(u >> 8)}) {
      h ^= byte;
      h *= 1099511628211ull;
    }
  }
  return h;
}

std::vector<int16_t> run_engine(const TuningSlots& slots, const std::vector<int16_t>& input,
                                std::string* fatal) {
  auto engine = std::make_unique<Engine>();
  int16_t in[FRAME_CAPACITY] = {};
  int16_t out[FRAME_CAPACITY] = {};
  std::vector<int16_t> output;
  output.reserve(input.size());
  fatal->clear();
  try {
    matrix_engine::engine_reset(engine.get());
    matrix_engine::engine_bind(engine.get(), in, out);
    matrix_engine::engine_set_stage_mask(engine.get(), slots[STAGE_MASK_SLOT]);
    matrix_engine::engine_configure(engine.get(), slots);
    for (size_t start = 0; start + FRAME_LENGTH <= input.size(); start += FRAME_LENGTH) {
      std::copy(input.begin() + static_cast<ptrdiff_t>(start),
                input.begin() + static_cast<ptrdiff_t>(start + FRAME_LENGTH), in);
      matrix_engine::engine_process_frame(engine.get(), in, out);
      output.insert(output.end(), out, out + FRAME_LENGTH);
    }
  } catch (const ArithmeticFault& fault) {
    *fatal = fault.what();
  }
  return output;
}

std::vector<std::string> matrix_report(const std::string& speech_path, int frames) {
  std::vector<std::string> lines;
  const std::vector<MatrixSignal> signals = matrix_signals(speech_path, frames);
  for (const MatrixTuning& tuning : matrix_tunings()) {
    for (const MatrixSignal& signal : signals) {
      std::string fatal;
      const std::vector<int16_t> output = run_engine(tuning.slots, signal.samples, &fatal);
      char hash[32];
      std::snprintf(hash, sizeof hash, "%016" PRIx64, hash_samples(output));
      lines.push_back(signal.name + " " + tuning.name + (fatal.empty() ? " " : " fatal ") + hash);
    }
  }
  return lines;
}

}  // namespace halvern
