// The loop's stability decision on made-up level courses, and the log-spectral distance's
// matching of delay and level.

#include "tools/loop/closed_loop.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace {

using namespace halvern;
using namespace halvern::tools;

// The energy of a 320-sample frame at a level in dBFS.
double energy_at(double dbfs) { return 320 * 32768.0 * 32768.0 * std::pow(10.0, dbfs / 10); }

// 50 frames of source at -20 dBFS (the first 25 silent) heard as they are, then a tail whose
// loudspeaker level is level_db(tail frame).
template <typename Level>
FrameEnergies course(Level level_db) {
  FrameEnergies e;
  e.source_frames = 50;
  for (int k = 0; k < 50; ++k) e.source.push_back(k < 25 ? 0 : energy_at(-20));
  e.mic = e.source;
  e.speaker = e.source;
  for (int k = 0; k < 100; ++k) {
    e.speaker.push_back(energy_at(level_db(k)));
    e.mic.push_back(energy_at(level_db(k)));
  }
  return e;
}

TEST(Stability, DecayIsStableAndEachSignOfHowlGivesItsOnset) {
  // Ringing that dies away at 10 dB/s, however slowly near the floor.
  EXPECT_FALSE(judge_stability(course([](int k) { return -25 - 0.2 * k; })).howl);
  EXPECT_FALSE(judge_stability(course([](int) { return -70.0; })).howl);

  // No decay: the howl runs from the first loud source window (frame 25, 0.5 s).
  const StabilityVerdict flat = judge_stability(course([](int) { return -30.0; }));
  EXPECT_TRUE(flat.howl);
  EXPECT_DOUBLE_EQ(flat.onset_s, 0.5);

  // A build-up after the ringing died (tail window 12, frame 110), then silence again.
  const StabilityVerdict burst =
      judge_stability(course([](int k) { return k >= 60 && k < 70 ? -20.0 : -25.0 - k; }));
  EXPECT_TRUE(burst.howl);
  EXPECT_DOUBLE_EQ(burst.onset_s, 110 * 0.02);

  // The microphone 25 dB above the talker in source window 7 (frames 35 to 39).
  FrameEnergies drowned = course([](int k) { return -25 - 0.2 * k; });
  for (int k = 35; k < 40; ++k) drowned.mic[static_cast<size_t>(k)] = energy_at(5);
  const StabilityVerdict loud = judge_stability(drowned);
  EXPECT_TRUE(loud.howl);
  EXPECT_DOUBLE_EQ(loud.onset_s, 0.7);
}

TEST(SpectralDistance, MatchesDelayAndLevelAndSeesColouring) {
  std::mt19937 rng(3);
  std::normal_distribution<double> noise(0.0, 3000.0);
  std::vector<int16_t> source(32000);
  double previous = 0;
  for (int16_t& s : source) {  // a pink-ish signal with pauses
    previous = 0.9 * previous + noise(rng);
    s = static_cast<int16_t>(std::clamp(previous, -32768.0, 32767.0));
  }
  std::fill(source.begin() + 8000, source.begin() + 12000, 0);
  std::vector<int16_t> output(source.size() + 4000, 0);
  for (size_t n = 0; n < source.size(); ++n) output[n + 142] = static_cast<int16_t>(source[n] / 2);
  const SpectralDistance same = log_spectral_distance(source, output);
  EXPECT_EQ(same.delay_samples, 142);
  EXPECT_NEAR(same.level_db, 6.02, 0.05);
  EXPECT_LT(same.lsd_db, 0.2);
  EXPECT_EQ(same.active_frames, 124 - 13);  // 13 frames lie wholly in the pause

  // A two-tap comb: notches at 1, 3, 5 and 7 kHz, heard in every frame.
  std::vector<int16_t> comb(output.size(), 0);
  for (size_t n = 8; n < output.size(); ++n)
    comb[n] = static_cast<int16_t>((output[n] + output[n - 8]) / 2);
  EXPECT_GT(log_spectral_distance(source, comb).lsd_db, 3.0);
}

}  // namespace
