// halvern loop as a user runs it, against models of its own: the Nyquist MSG of a path computed
// here by direct evaluation, the synthetic room rebuilt from the generator as the README states
// it, and the microphone of a loop simulated here sample by sample with a direct convolution.

#include <sndfile.h>

#include <cmath>
#include <complex>
#include <nlohmann/json.hpp>
#include <numbers>
#include <random>

#include "tests/tools/tool_test.h"

namespace {

using namespace halvern::testing;
using Json = nlohmann::json;

// 16 kHz mono WAV; format e.g. SF_FORMAT_PCM_16 or SF_FORMAT_DOUBLE.
void write_path(const fs::path& file, const std::vector<double>& taps, int subtype) {
  SF_INFO info{};
  info.samplerate = 16000;
  info.channels = 1;
  info.format = SF_FORMAT_WAV | subtype;
  SNDFILE* f = sf_open(file.c_str(), SFM_WRITE, &info);
  ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
  sf_command(f, SFC_SET_CLIPPING, nullptr, SF_FALSE);
  sf_write_double(f, taps.data(), static_cast<sf_count_t>(taps.size()));
  sf_close(f);
}

std::vector<double> read_path(const fs::path& file) {
  SF_INFO info{};
  SNDFILE* f = sf_open(file.c_str(), SFM_READ, &info);
  EXPECT_NE(f, nullptr) << file;
  if (f == nullptr) return {};
  std::vector<double> taps(static_cast<size_t>(info.frames));
  sf_read_double(f, taps.data(), info.frames);
  sf_close(f);
  return taps;
}

// L(w) = sum_m f[m] e^{-j w (m + 320)}, term by term (the rotation exact every 256 terms).
std::complex<double> loop_at(const std::vector<double>& f, double w) {
  const std::complex<double> step = std::polar(1.0, -w);
  std::complex<double> sum = 0;
  std::complex<double> z = 1;
  for (size_t m = 0; m < f.size(); ++m) {
    if (m % 256 == 0) z = std::polar(1.0, -w * static_cast<double>(m + 320));
    sum += f[m] * z;
    z *= step;
  }
  return sum;
}

// The Nyquist MSG in dB: the largest |L| where L crosses the positive real axis, found on a grid
// of 8 points per period of the loop's length and refined by bisection on the sign of Im L.
double nyquist_msg_db(const std::vector<double>& f) {
  const size_t n = 8 * (f.size() + 320);
  const double step = std::numbers::pi / static_cast<double>(n);
  std::vector<std::complex<double>> l(n + 1);
  for (size_t k = 0; k <= n; ++k) l[k] = loop_at(f, step * static_cast<double>(k));
  double best = 0;
  for (size_t k = 0; k < n; ++k) {
    if ((l[k].imag() < 0) == (l[k + 1].imag() < 0)) continue;
    if (l[k].real() <= 0 && l[k + 1].real() <= 0) continue;
    if (std::max(std::abs(l[k]), std::abs(l[k + 1])) < 0.8 * best) continue;
    double lo = step * static_cast<double>(k);
    double hi = lo + step;
    const bool lo_negative = l[k].imag() < 0;
    for (int i = 0; i < 30; ++i) {
      const double mid = 0.5 * (lo + hi);
      ((loop_at(f, mid).imag() < 0) == lo_negative ? lo : hi) = mid;
    }
    const std::complex<double> at = loop_at(f, 0.5 * (lo + hi));
    if (at.real() > 0) best = std::max(best, std::abs(at));
  }
  return -20 * std::log10(best);
}

// The synthetic room as the README gives it, before its scaling: SplitMix64, Box-Muller (cosine
// branch), an exponential envelope.
std::vector<double> room_unscaled(double rt60, double delay, uint64_t seed) {
  uint64_t state = seed;
  const auto word = [&state] {
    state += 0x9E3779B97F4A7C15ULL;
    uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  };
  const auto d = static_cast<size_t>(std::lround(delay * 16000));
  const auto r = static_cast<size_t>(std::lround(rt60 * 16000));
  std::vector<double> f(d + r, 0.0);
  for (size_t i = 0; i < r; ++i) {
    const double u1 = static_cast<double>((word() >> 11) + 1) / 9007199254740992.0;
    const double u2 = static_cast<double>(word() >> 11) / 9007199254740992.0;
    f[d + i] = std::sqrt(-2 * std::log(u1)) * std::cos(2 * std::numbers::pi * u2) *
               std::pow(10.0, -3.0 * static_cast<double>(i) / static_cast<double>(r));
  }
  return f;
}

// A path unlike the rooms: a direct sound at 3 ms, two strong reflections and a short noisy tail.
std::vector<double> wav_path() {
  std::vector<double> f(2000, 0.0);
  f[48] = 0.5;
  f[300] = -0.3;
  f[777] = 0.2;
  std::mt19937 rng(7);
  std::normal_distribution<double> noise(0.0, 0.02);
  for (size_t i = 100; i < f.size(); ++i)
    f[i] += noise(rng) * std::exp(-static_cast<double>(i) / 500);
  return f;
}

class Loop : public ToolTest {
 protected:
  void SetUp() override {
    ToolTest::SetUp();
    write_file(path("speech.pcm"), speech_);
    write_file(path("t.txt"), tuning_with({}));
  }
  Json json_of(const std::string& args) const {
    const Result r = halvern("loop speech.pcm t.txt " + args + " --json");
    EXPECT_EQ(r.status, 0) << args << "\n" << r.err;
    return r.status == 0 ? Json::parse(r.out) : Json();
  }
};

TEST_F(Loop, WithTheStagesOffTheSimulatedMsgIsTheNyquistMsg) {
  for (const auto& [rt60, seed] : {std::pair{0.2, 3}, {0.6, 5}, {1.0, 2}}) {
    const std::string room =
        "rt60=" + std::to_string(rt60) + ",delay=2ms,seed=" + std::to_string(seed);
    const Json j = json_of("--stages none --find-msg --room " + room + " --save-path room.wav");
    EXPECT_NEAR(j["msg_db"].get<double>(), j["nyquist_msg_db"].get<double>(), 0.5) << room;
    EXPECT_EQ(j["msg_db"], j["msg_without_suppressor_db"]);
    EXPECT_EQ(j["asg_db"], 0.0);

    // The room is the README's generator, scaled to a largest magnitude response of 0 dB.
    const std::vector<double> saved = read_path(path("room.wav"));
    const std::vector<double> rebuilt = room_unscaled(rt60, 0.002, static_cast<uint64_t>(seed));
    ASSERT_EQ(saved.size(), rebuilt.size()) << room;
    const double scale = saved[100] / rebuilt[100];
    for (size_t i = 0; i < saved.size(); ++i)
      ASSERT_NEAR(saved[i], scale * rebuilt[i], 1e-12) << room << " tap " << i;
    if (rt60 == 0.2) {
      double largest = 0;
      const size_t grid = 16 * saved.size();
      for (size_t k = 0; k <= grid / 2; ++k) {
        largest = std::max(largest, std::abs(loop_at(saved, 2 * std::numbers::pi *
                                                                static_cast<double>(k) / grid)));
      }
      EXPECT_NEAR(20 * std::log10(largest), 0.0, 0.01);
      EXPECT_NEAR(j["nyquist_msg_db"].get<double>(), nyquist_msg_db(saved), 0.02);
    }
  }

  // A 16-bit WAV path: samples scaled to +-1.0 and used as given.
  std::vector<double> f = wav_path();
  for (double& v : f) v = std::round(v * 32768) / 32768;
  write_path(path("ir.wav"), f, SF_FORMAT_PCM_16);
  const Json j = json_of("--stages none --find-msg --path ir.wav");
  const double model = nyquist_msg_db(f);
  EXPECT_NEAR(j["nyquist_msg_db"].get<double>(), model, 0.02);
  EXPECT_NEAR(j["msg_db"].get<double>(), model, 0.5);
}

// Every stage off, 6 dB below MSG: the microphone of a direct simulation of the loop, and the
// loudspeaker gain times the microphone (the engine passes its input through).
TEST_F(Loop, MicIsTheDirectSimulationBelowMsgAndHowlsAboveIt) {
  std::vector<double> f = wav_path();
  f[48] = 1.25;  // floating-point samples are taken as they are, beyond full scale too
  write_path(path("ir.wav"), f, SF_FORMAT_DOUBLE);
  const double msg = nyquist_msg_db(f);
  const double gain_db = std::round((msg - 6) * 10) / 10;
  const Json j = json_of("--stages none --path ir.wav --tail 1 --gain " + std::to_string(gain_db) +
                         " --mic mic.pcm --speaker spk.wav");
  EXPECT_FALSE(j["howl"]);
  EXPECT_TRUE(j["howl_onset_s"].is_null());

  const std::vector<int16_t> source = samples_of(speech_);
  const std::vector<int16_t> mic = samples_of(read_file(path("mic.pcm")));
  ASSERT_EQ(mic.size(), source.size() + 50 * 320);
  const double g = std::pow(10.0, gain_db / 20);
  std::vector<double> model(mic.size());
  int worst = 0;
  for (size_t n = 0; n < model.size(); ++n) {
    double v = n < source.size() ? source[n] : 0.0;
    for (size_t m = 0; m < f.size() && m + 320 <= n; ++m) v += f[m] * g * model[n - 320 - m];
    model[n] = std::clamp(std::round(v), -32768.0, 32767.0);
    worst = std::max(worst, static_cast<int>(std::fabs(model[n] - mic[n])));
  }
  EXPECT_LE(worst, 2);
  SF_INFO info{};
  SNDFILE* s = sf_open(path("spk.wav").c_str(), SFM_READ, &info);
  ASSERT_NE(s, nullptr);
  std::vector<short> speaker(static_cast<size_t>(info.frames));
  sf_read_short(s, speaker.data(), info.frames);
  sf_close(s);
  ASSERT_EQ(speaker.size(), mic.size());
  for (size_t n = 0; n < mic.size(); ++n) ASSERT_NEAR(speaker[n], g * mic[n], 0.5 + 1e-9) << n;

  // 2 dB above MSG the loop howls: the sweep says so from the same gain on, as single runs do.
  const Json above = json_of("--stages none --path ir.wav --gain " + std::to_string(msg + 2));
  EXPECT_TRUE(above["howl"]);
  EXPECT_GT(above["howl_onset_s"].get<double>(), 0.0);
  EXPECT_LT(above["howl_onset_s"].get<double>(), 6.0);
  EXPECT_GT(above["levels"]["mic"]["clipped_samples"].get<int64_t>(), 0);
  const std::string sweep = "--stages none --path ir.wav --sweep " + std::to_string(msg - 2) + ":" +
                            std::to_string(msg + 2.5) + ":1.5";
  const Result csv = halvern("loop speech.pcm t.txt " + sweep);
  ASSERT_EQ(csv.status, 0) << csv.err;
  std::istringstream lines(csv.out);
  std::string line;
  std::getline(lines, line);
  EXPECT_EQ(line.substr(0, 30), "gain_db,howl,howl_onset_s,spea");
  std::string howls;
  while (std::getline(lines, line)) howls += line.substr(line.find(',') + 1, 1);
  EXPECT_EQ(howls, "0011");
}

TEST_F(Loop, FindMsgWithTheExampleTuningGivesTheSameFiguresTwice) {
  const std::string args =
      "loop speech.pcm t.txt --room rt60=0.4,delay=2ms,seed=1 --find-msg --json";
  const Result first = halvern(args);
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(halvern(args).out, first.out);
  const Json j = Json::parse(first.out);
  for (const char* key : {"nyquist_msg_db", "msg_db", "msg_without_suppressor_db", "asg_db",
                          "lsd_db", "lsd_without_suppressor_db"}) {
    EXPECT_TRUE(j[key].is_number()) << key;
  }
  EXPECT_TRUE(j["suppressor_in_stages"]);
  EXPECT_TRUE(j["msg_limit"].is_null());
  EXPECT_NEAR(j["asg_db"].get<double>(),
              j["msg_db"].get<double>() - j["msg_without_suppressor_db"].get<double>(), 1e-9);
  EXPECT_NEAR(j["lsd_gain_db"].get<double>(), j["msg_without_suppressor_db"].get<double>() - 3,
              1e-9);
  EXPECT_GT(j["lsd_db"].get<double>(), 0.0);

  const Result text = halvern("loop speech.pcm t.txt --room rt60=0.4,delay=2ms,seed=1 --find-msg");
  ASSERT_EQ(text.status, 0) << text.err;
  for (const char* words : {"MSG with the suppressor:", "MSG without the suppressor:",
                            "ASG (added stable gain):", "Nyquist MSG of the bare path:"}) {
    EXPECT_NE(text.out.find(words), std::string::npos) << words << "\n" << text.out;
  }
}

TEST_F(Loop, RefusesWhatItCannotRun) {
  write_file(path("bad.txt"), tuning_with({}).substr(0, 300));  // ends in the middle of slot 16
  const Result bad = halvern("loop speech.pcm bad.txt --room rt60=0.3");
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("bad.txt:17:1: error:"), std::string::npos) << bad.err;
  EXPECT_NE(bad.err.find("--allow-tuning-errors"), std::string::npos) << bad.err;
  EXPECT_EQ(
      halvern("loop speech.pcm bad.txt --room rt60=0.3 --allow-tuning-errors --gain -20").status,
      0);

  EXPECT_EQ(halvern("loop speech.pcm t.txt").status, 2);  // no path
  const Result room = halvern("loop speech.pcm t.txt --room rt60=0.3,size=4");
  EXPECT_EQ(room.status, 2);
  EXPECT_NE(room.err.find("unknown key 'size'"), std::string::npos) << room.err;
  const Result mic = halvern("loop speech.pcm t.txt --room rt60=0.3 --mic speech.pcm");
  EXPECT_EQ(mic.status, 2);
  EXPECT_EQ(read_file(path("speech.pcm")), speech_);
}

}  // namespace
