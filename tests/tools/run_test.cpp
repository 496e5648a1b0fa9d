// halvern run as a user runs it: the same samples as halvern-sim from raw and WAV files, the
// trace against halvern-sim run on each prefix of the chain, the statistics against figures
// computed from the trace, and the inputs that need --channel and --resample.

#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/tools/tool_test.h"

namespace {

namespace fs = std::filesystem;

using namespace halvern::testing;

// Writes interleaved frames with libsndfile; format e.g. SF_FORMAT_WAV | SF_FORMAT_PCM_16.
template <typename T>
void write_sound(const fs::path& path, const std::vector<T>& data, int rate, int channels,
                 int format) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = channels;
  info.format = format;
  SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
  if constexpr (std::is_same_v<T, float>) {
    sf_command(f, SFC_SET_CLIPPING, nullptr, SF_FALSE);
    sf_write_float(f, data.data(), static_cast<sf_count_t>(data.size()));
  } else {
    sf_write_short(f, data.data(), static_cast<sf_count_t>(data.size()));
  }
  sf_close(f);
}

std::vector<int16_t> read_sound(const fs::path& path, SF_INFO* info) {
  SNDFILE* f = sf_open(path.c_str(), SFM_READ, info);
  EXPECT_NE(f, nullptr) << path;
  if (f == nullptr) return {};
  std::vector<int16_t> s(static_cast<size_t>(info->frames * info->channels));
  sf_read_short(f, s.data(), static_cast<sf_count_t>(s.size()));
  sf_close(f);
  return s;
}

class Run : public halvern::testing::ToolTest {
 protected:
  void SetUp() override {
    ToolTest::SetUp();
    write_file(path("t.txt"), tuning_with({}));
  }
};

TEST_F(Run, RawAndWavGiveHalvernSimSamples) {
  const std::string input = speech_ + std::string(123 * 2, '\x11');  // and a partial frame
  const std::string expected = sim(input, tuning_with({}));
  write_file(path("in.pcm"), input);
  write_sound(path("in.wav"), samples_of(input), 16000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16);

  const Result raw = halvern("run in.pcm out.pcm t.txt");
  EXPECT_EQ(raw.status, 0) << raw.err;
  EXPECT_EQ(read_file(path("out.pcm")), expected);
  EXPECT_NE(raw.err.find("the last 123 samples (a partial frame) were dropped"), std::string::npos)
      << raw.err;

  const Result wav = halvern("run in.wav out.wav t.txt");
  EXPECT_EQ(wav.status, 0) << wav.err;
  SF_INFO info{};
  const std::vector<int16_t> out = read_sound(path("out.wav"), &info);
  EXPECT_EQ(info.samplerate, 16000);
  EXPECT_EQ(info.channels, 1);
  EXPECT_EQ(bytes_of(out), expected);

  // Standard input to standard output: samples only on standard output.
  const Result pipe = halvern("run - - t.txt", "in.pcm");
  EXPECT_EQ(pipe.status, 0) << pipe.err;
  EXPECT_EQ(pipe.out, expected);

  // --pad keeps the partial frame: halvern-sim on the input completed with zeros.
  EXPECT_EQ(halvern("run in.wav padded.pcm t.txt --pad").status, 0);
  EXPECT_EQ(read_file(path("padded.pcm")),
            sim(input + std::string((320 - 123) * 2, '\0'), tuning_with({})));
}

TEST_F(Run, StagesReplaceSlotZero) {
  write_file(path("in.pcm"), speech_);
  ASSERT_EQ(halvern("run in.pcm out.pcm t.txt --stages eq,sup").status, 0);
  EXPECT_EQ(read_file(path("out.pcm")), sim(speech_, tuning_with({{0, 4 | 16}})));
  const Result bad = halvern("run in.pcm out.pcm t.txt --stages eq,howl");
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("unknown stage 'howl'"), std::string::npos) << bad.err;
}

// Position k of the chain is what halvern-sim gives with only the stages up to k on.
TEST_F(Run, TraceMatchesTheChainPrefixesAndStatsMatchTheTrace) {
  // A loud input (clipped samples) and a loud equalizer gain, with every stage on.
  std::vector<int16_t> loud = samples_of(speech_);
  for (int16_t& s : loud) s = static_cast<int16_t>(std::clamp(4 * int{s}, -32768, 32767));
  const std::string input = bytes_of(loud);
  const std::string tuning = tuning_with({{58, 120}});
  write_file(path("t.txt"), tuning);
  write_sound(path("in.wav"), loud, 16000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
  const Result r = halvern("run in.wav out.wav t.txt --trace tr --stats s.json");
  ASSERT_EQ(r.status, 0) << r.err;

  const char* names[] = {"0_input",     "1_highpass",   "2_dynamics",
                         "3_equalizer", "4_suppressor", "5_dither"};
  const int bits[] = {0, 1, 2, 4, 16, 8};  // stage-mask bit of each position
  const nlohmann::json stats = nlohmann::json::parse(read_file(path("s.json")));
  const char* keys[] = {"input", "highpass", "dynamics", "equalizer", "suppressor", "dither"};
  int mask = 0;
  int64_t clipped_anywhere = 0;
  std::vector<int16_t> before;
  for (int p = 0; p < 6; ++p) {
    mask |= bits[p];
    SF_INFO info{};
    const std::vector<int16_t> trace =
        read_sound(path("tr") / (std::string(names[p]) + ".wav"), &info);
    EXPECT_EQ(bytes_of(trace), sim(input, tuning_with({{0, mask}, {58, 120}}))) << names[p];

    // The figures from the trace file, in double precision.
    double peak = 0, squares = 0, sum = 0;
    int64_t clipped = 0, changed = 0;
    for (size_t i = 0; i < trace.size(); ++i) {
      const double v = trace[i];
      peak = std::max(peak, std::fabs(v));
      squares += v * v;
      sum += v;
      clipped += (trace[i] == 32767 || trace[i] == -32768) ? 1 : 0;
    }
    for (size_t f = 0; p > 0 && f < trace.size() / 320; ++f) {
      changed += std::equal(trace.begin() + 320 * f, trace.begin() + 320 * (f + 1),
                            before.begin() + 320 * f)
                     ? 0
                     : 1;
    }
    const double n = static_cast<double>(trace.size());
    const nlohmann::json& s = stats["positions"][keys[p]];
    EXPECT_NEAR(s["peak_dbfs"].get<double>(), 20 * std::log10(peak / 32768), 1e-9) << keys[p];
    EXPECT_NEAR(s["rms_dbfs"].get<double>(), 10 * std::log10(squares / n / (32768.0 * 32768.0)),
                1e-9)
        << keys[p];
    EXPECT_NEAR(s["crest_factor"].get<double>(), peak / std::sqrt(squares / n), 1e-9) << keys[p];
    EXPECT_NEAR(s["dc"].get<double>(), sum / n / 32768, 1e-12) << keys[p];
    EXPECT_EQ(s["clipped_samples"].get<int64_t>(), clipped) << keys[p];
    if (p > 0) {
      EXPECT_EQ(s["changed_frames"].get<int64_t>(), changed) << keys[p];
    }
    clipped_anywhere += clipped;
    before = trace;
  }
  EXPECT_GT(clipped_anywhere, 0);

  // frames.csv: one row per frame; the suppressor's marks per band counted from its columns.
  std::istringstream csv(read_file(path("tr/frames.csv")));
  std::string line;
  std::getline(csv, line);
  std::vector<std::string> header;
  for (std::istringstream h(line); std::getline(h, line, ',');) header.push_back(line);
  const auto column = [&header](const std::string& name) {
    return static_cast<size_t>(std::find(header.begin(), header.end(), name) - header.begin());
  };
  ASSERT_LT(column("limiter_gain_db"), header.size());
  std::vector<int64_t> marks(14, 0);
  int64_t rows = 0, limiting = 0;
  double gain_min = 1e9, gain_max = -1e9, gain_sum = 0, deepest = 0;
  while (std::getline(csv, line)) {
    std::vector<std::string> cells;
    for (std::istringstream c(line); std::getline(c, line, ',');) cells.push_back(line);
    ASSERT_EQ(cells.size(), header.size());
    const double gain =
        std::stod(cells[column("dyn_gain_db")]) + std::stod(cells[column("dyn_makeup_db")]);
    gain_min = std::min(gain_min, gain);
    gain_max = std::max(gain_max, gain);
    gain_sum += gain;
    const double limiter = std::stod(cells[column("limiter_gain_db")]);
    limiting += limiter < -0.01 ? 1 : 0;
    deepest = std::min(deepest, limiter);
    for (int b = 0; b < 14; ++b) {
      char name[16];
      std::snprintf(name, sizeof name, "band%02d_mark", b);
      marks[static_cast<size_t>(b)] += cells[column(name)] != "0" ? 1 : 0;
    }
    ++rows;
  }
  EXPECT_EQ(rows, stats["frames"].get<int64_t>());
  EXPECT_EQ(stats["suppressor"]["marks_per_band"].get<std::vector<int64_t>>(), marks);
  // The dynamics and limiter figures from the CSV's dB columns (4 decimals).
  EXPECT_NEAR(stats["dynamics"]["gain_db_min"].get<double>(), gain_min, 2e-4);
  EXPECT_NEAR(stats["dynamics"]["gain_db_max"].get<double>(), gain_max, 2e-4);
  EXPECT_NEAR(stats["dynamics"]["gain_db_mean"].get<double>(), gain_sum / static_cast<double>(rows),
              2e-4);
  EXPECT_EQ(stats["limiter"]["frames_limiting"].get<int64_t>(), limiting);
  EXPECT_GT(limiting, 0);
  EXPECT_NEAR(stats["limiter"]["deepest_reduction_db"].get<double>(), deepest, 1e-4);
}

TEST_F(Run, StereoAt44kNeedsChannelAndResample) {
  // Channel 1 a 1 kHz tone, channel 2 silence: the channel kept is the one asked for.
  std::vector<int16_t> stereo;
  for (int i = 0; i < 44100; ++i) {
    stereo.push_back(
        static_cast<int16_t>(std::lround(8000 * std::sin(2 * M_PI * 1000 * i / 44100.0))));
    stereo.push_back(0);
  }
  write_sound(path("st.wav"), stereo, 44100, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
  write_file(path("t.txt"),
             "stage_mask 0\n");  // every stage off: the output is the converted input

  // Both problems at once, each with its option.
  const Result neither = halvern("run st.wav out.wav t.txt");
  EXPECT_EQ(neither.status, 2);
  EXPECT_NE(neither.err.find("--channel N (1 to 2)"), std::string::npos) << neither.err;
  EXPECT_NE(neither.err.find("add --resample"), std::string::npos) << neither.err;
  const Result no_channel = halvern("run st.wav out.wav t.txt --resample");
  EXPECT_EQ(no_channel.status, 2);
  EXPECT_NE(no_channel.err.find("st.wav has 2 channels"), std::string::npos) << no_channel.err;
  EXPECT_NE(no_channel.err.find("--channel"), std::string::npos);
  const Result no_resample = halvern("run st.wav out.wav t.txt --channel 1");
  EXPECT_EQ(no_resample.status, 2);
  EXPECT_NE(no_resample.err.find("44100 Hz"), std::string::npos) << no_resample.err;
  EXPECT_NE(no_resample.err.find("--resample"), std::string::npos);
  EXPECT_FALSE(fs::exists(path("out.wav")));

  const Result ok = halvern("run st.wav out.wav t.txt --channel 1 --resample");
  EXPECT_EQ(ok.status, 0) << ok.err;
  EXPECT_NE(ok.err.find("resampled from 44100 Hz"), std::string::npos) << ok.err;
  SF_INFO info{};
  const std::vector<int16_t> out = read_sound(path("out.wav"), &info);
  EXPECT_EQ(info.samplerate, 16000);
  EXPECT_EQ(info.channels, 1);
  ASSERT_EQ(out.size(), 16000u);
  // Still a 1 kHz tone of amplitude 8000 (away from the ends): 16 samples a period.
  double squares = 0;
  for (size_t i = 1000; i < 15000; ++i) squares += static_cast<double>(out[i]) * out[i];
  EXPECT_NEAR(std::sqrt(squares / 14000), 8000 / std::sqrt(2.0), 10);
  for (size_t i = 1000; i < 15000; ++i) EXPECT_NEAR(out[i], out[i + 16], 2) << i;
}

TEST_F(Run, FloatInputIsRoundedAndItsClippingCounted) {
  std::vector<float> x;
  int64_t beyond = 0;
  for (int i = 0; i < 3200; ++i) {
    const float v = 1.5f * static_cast<float>(std::sin(i * 0.01));
    x.push_back(v);
    beyond +=
        std::floor(v * 32768.0 + 0.5) > 32767 || std::floor(v * 32768.0 + 0.5) < -32768 ? 1 : 0;
  }
  write_sound(path("f.wav"), x, 16000, 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
  write_file(path("t.txt"), "stage_mask 0\n");
  const Result r = halvern("run f.wav out.pcm t.txt");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(
      r.err.find("32 bit float samples rounded to 16 bits; " + std::to_string(beyond) + " clipped"),
      std::string::npos)
      << r.err;
  const std::vector<int16_t> out = samples_of(read_file(path("out.pcm")));
  ASSERT_EQ(out.size(), x.size());
  for (size_t i = 0; i < x.size(); ++i) {
    EXPECT_EQ(out[i], std::clamp(std::floor(x[i] * 32768.0 + 0.5), -32768.0, 32767.0)) << i;
  }
}

TEST_F(Run, NeverOverwritesItsInputs) {
  write_file(path("in.pcm"), speech_);
  for (const char* args : {"run in.pcm ./in.pcm t.txt", "run in.pcm t.txt t.txt",
                           "run in.pcm out.pcm t.txt --stats in.pcm"}) {
    const Result r = halvern(args);
    EXPECT_EQ(r.status, 2) << args;
    EXPECT_NE(r.err.find("refusing to write"), std::string::npos) << r.err;
  }
  EXPECT_EQ(read_file(path("in.pcm")), speech_);
  EXPECT_FALSE(fs::exists(path("out.pcm")));
  // A device is written in place, never replaced; a failed write is reported.
  EXPECT_EQ(halvern("run in.pcm /dev/null t.txt").status, 0);
  EXPECT_TRUE(fs::is_character_file("/dev/null"));
  const Result full = halvern("run in.pcm /dev/full t.txt");
  EXPECT_EQ(full.status, 2);
  EXPECT_NE(full.err.find("cannot write /dev/full"), std::string::npos) << full.err;
  EXPECT_EQ(shell("/bin/sh", "-c \"'" HALVERN "' run in.pcm - t.txt >/dev/full\"").status, 2);
}

}  // namespace
