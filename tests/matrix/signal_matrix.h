// A fixed matrix of test signals and tunings, generated with integer arithmetic only so that
// every compiler and every optimisation level produces the same inputs. The golden-output test,
// the cross-compiler check and the benchmarks run the engine over it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tuning/tuning.h"

namespace halvern {

struct MatrixSignal {
  std::string name;
  std::vector<int16_t> samples;  // a whole number of frames
};

struct MatrixTuning {
  std::string name;
  TuningSlots slots;
};

// The example tuning of the repository, read from examples/tuning.txt (the program ends when it
// cannot be read).
TuningSlots example_tuning();

// The signals: the speech example (read from speech_path; skipped when empty), white noise at
// several levels, a full-scale square wave, a sweep, DC, silence and a howl building up over
// speech-like noise. Each is `frames` frames long.
std::vector<MatrixSignal> matrix_signals(const std::string& speech_path, int frames);

// The tunings: each stage alone, all stages, the all-zero tuning with every stage on, extreme
// slot values, and pseudo-random tunings.
std::vector<MatrixTuning> matrix_tunings();

// FNV-1a 64-bit hash of the samples as little-endian bytes.
uint64_t hash_samples(const std::vector<int16_t>& samples);

// Runs the signal through a fresh engine (the reference engine in the reference engine build,
// HALVERN_REFERENCE_ENGINE) configured with the tuning, frame by frame, and returns
// the output. A fatal arithmetic error in the settings or in a frame ends the run: *fatal then
// holds its message and the output holds the frames completed before it.
std::vector<int16_t> run_engine(const TuningSlots& slots, const std::vector<int16_t>& input,
                                std::string* fatal);

// One line per pair: "<signal> <tuning> <hash in hex>" or "<signal> <tuning> fatal <hash>".
std::vector<std::string> matrix_report(const std::string& speech_path, int frames);

}  // namespace halvern
