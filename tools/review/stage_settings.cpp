#include "tools/review/stage_settings.h"

#include <cmath>
#include <complex>
#include <cstdio>
#include <numbers>

#include "tuning/slot_catalogue.h"

namespace halvern::tools {
namespace {

constexpr double SAMPLE_RATE = 16000.0;
constexpr double FRAME_MS = 1000.0 * FRAME_LENGTH / SAMPLE_RATE;
constexpr double Q7_PER_DB = 128.0;
constexpr double UNITY_Q11 = 2048.0;
constexpr double UNITY_Q15 = 32767.0;
constexpr double BIN_HZ = SAMPLE_RATE / (2 * SUPPRESSOR_BINS);
// One level unit of the peak suppressor: energy_level is about 26.745 log10 of a power ratio.
constexpr double LEVEL_UNIT_DB = 10.0 / 26.745;

double round_to(double v, int decimals) {
  const double scale = std::pow(10.0, decimals);
  return std::round(v * scale) / scale;
}

double db_of(double ratio) { return 20.0 * std::log10(ratio); }

class Settings {
 public:
  explicit Settings(std::vector<DerivedSetting>* out) : out_(out) {}

  void add(const std::string& key, nlohmann::json value, const std::string& text) {
    out_->push_back(DerivedSetting{key, std::move(value), text});
  }
  // A number rounded to decimals, printed as "label number unit".
  void number(const std::string& key, const std::string& label, double v, int decimals,
              const std::string& unit) {
    const double r = round_to(v, decimals);
    add(key, r, label + " " + number_text(r, decimals) + (unit.empty() ? "" : " " + unit));
  }
  // A Q11 gain factor in dB.
  void gain_q11(const std::string& key, const std::string& label, int16_t g) {
    if (g <= 0) {
      add(key, nullptr,
          label + (g == 0 ? " silence (factor 0)" : " factor " + std::to_string(g) + " (Q11)"));
    } else {
      number(key, label, db_of(g / UNITY_Q11), 2, "dB");
    }
  }
  // A Q15 gain in dB (32767 = 0 dB); a negative gain also inverts the signal.
  void gain_q15(const std::string& key, const std::string& label, int16_t g) {
    if (g == 0) {
      add(key, nullptr, label + " silence (gain 0)");
      return;
    }
    const double r = round_to(db_of(std::abs(g) / UNITY_Q15), 2);
    add(key, r, label + " " + number_text(r, 2) + " dB" + (g < 0 ? ", polarity inverted" : ""));
  }
  void level_q7(const std::string& key, const std::string& label, int16_t q7) {
    number(key, label, q7 / Q7_PER_DB, 2, "dBFS");
  }
  void time(const std::string& key, const std::string& label, int16_t coefficient) {
    const double ms = smoothing_time_ms(coefficient);
    if (ms < 0) {
      add(key, nullptr,
          label + " none: coefficient " + std::to_string(coefficient) + ", never moves");
    } else {
      number(key, label, ms, 1, "ms");
    }
  }
  // Ratio from a compressor slope 1 - 1/R (Q11).
  void comp_ratio(const std::string& key, const std::string& label, int16_t slope) {
    const double r = 1.0 / (1.0 - slope / UNITY_Q11);
    add(key, round_to(r, 2), label + " " + number_text(r, 2) + ":1");
  }
  // Ratio from an expander slope 1 - R (Q11).
  void exp_ratio(const std::string& key, const std::string& label, int16_t slope) {
    const double r = 1.0 - slope / UNITY_Q11;
    add(key, round_to(r, 2), label + " " + number_text(r, 2) + ":1");
  }

 private:
  std::vector<DerivedSetting>* out_;
};

void highpass_settings(const HighPassContext& c, Settings* s) {
  const int hz = highpass_cutoff_hz(c);
  if (hz > 0) {
    s->add("cutoff_hz", hz, "cut-off " + std::to_string(hz) + " Hz (second-order Butterworth)");
  } else {
    s->add("cutoff_hz", nullptr, "cut-off none: the filter passes the signal through");
  }
  s->gain_q11("gain_db", "gain", c.gain_q11);
}

void dynamics_settings(const DynamicsContext& d, Settings* s) {
  const MainCompressor& c = d.main_compressor;
  s->gain_q11("input_gain_db", "input gain", d.input_gain_q11);
  s->level_q7("comp_threshold_dbfs", "compressor threshold T1", c.comp_threshold);
  s->comp_ratio("comp_ratio", "compressor ratio", c.comp_slope);
  s->level_q7("boost_threshold_dbfs", "boost starts below T2", c.boost_threshold);
  s->level_q7("full_boost_threshold_dbfs", "full makeup at and below T3", c.full_boost_threshold);
  s->number("boost_slope_db_per_db", "boost ramp", c.boost_slope / UNITY_Q11, 3, "dB per dB");
  s->level_q7("exp_threshold_dbfs", "expander threshold T4", c.exp_threshold);
  s->exp_ratio("exp_ratio", "expander ratio", c.exp_slope);
  s->number("makeup_db", "makeup gain", c.makeup_db / Q7_PER_DB, 2, "dB");
  s->time("gain_attack_ms", "gain attack time constant", c.gain_attack);
  s->time("gain_release_ms", "gain release time constant", c.gain_release);
  s->time("level_attack_ms", "level attack time constant", c.level_attack);
  s->time("level_release_ms", "level release time constant", c.level_release);
  s->gain_q11("output_gain_db", "output gain", d.output_gain_q11);
  const bool pre = (d.mode & DYNAMICS_MODE_PRE_EXPANDER) != 0;
  s->add("pre_expander", pre, std::string("pre-expander ") + (pre ? "on" : "off"));
  if (pre) {
    s->level_q7("pre_exp_threshold_dbfs", "  threshold", d.pre_expander.threshold);
    s->exp_ratio("pre_exp_ratio", "  ratio", d.pre_expander.slope);
    s->time("pre_exp_gain_attack_ms", "  gain attack time constant", d.pre_expander.gain_attack);
    s->time("pre_exp_gain_release_ms", "  gain release time constant", d.pre_expander.gain_release);
  }
  const bool post = (d.mode & DYNAMICS_MODE_POST_EXPANDER) != 0;
  s->add("post_expander", post, std::string("post-expander ") + (post ? "on" : "off"));
  if (post) {
    s->level_q7("post_exp_threshold_dbfs", "  threshold", d.post_expander.exp_threshold);
    s->exp_ratio("post_exp_ratio", "  ratio", d.post_expander.exp_slope);
  }
}

void equalizer_settings(const EqualizerContext& e, Settings* s) {
  nlohmann::json response = nlohmann::json::array();
  std::string text = "FIR gain:";
  for (double f = 125.0; f <= 8000.0; f *= 2) {
    std::complex<double> h = 0;
    for (int k = 0; k < EQ_TAPS; ++k) {
      // out = sum in x tap / 16384: the chain's L_mac, L_shl by 1 and high word.
      h += std::polar(e.taps[static_cast<size_t>(k)] / 16384.0,
                      -2 * std::numbers::pi * f * k / SAMPLE_RATE);
    }
    const double m = std::abs(h);
    const std::string hz = f < 1000 ? number_text(f, 0) + " Hz" : number_text(f / 1000, 0) + " kHz";
    if (m < 1e-9) {
      response.push_back({{"hz", f}, {"gain_db", nullptr}});
      text += " " + hz + " silence,";
    } else {
      const double db = round_to(db_of(m), 2);
      response.push_back({{"hz", f}, {"gain_db", db}});
      text += " " + hz + " " + number_text(db, 2) + " dB,";
    }
  }
  text.pop_back();
  s->add("response", response, text);
  // The FIR's half length, then the limiter's delay line less the sample in hand.
  const int delay = (EQ_TAPS - 1) / 2 + e.delay_length - 1;
  s->add("delay_samples", delay,
         "delay " + std::to_string(delay) + " samples (" +
             number_text(delay * 1000.0 / SAMPLE_RATE, 3) + " ms)");
  s->level_q7("comp_threshold_dbfs", "compander compressor threshold", e.compander.comp_threshold);
  s->comp_ratio("comp_ratio", "compander compressor ratio", e.compander.comp_slope);
  s->level_q7("exp_threshold_dbfs", "compander expander threshold", e.compander.exp_threshold);
  s->exp_ratio("exp_ratio", "compander expander ratio", e.compander.exp_slope);
  s->level_q7("limiter_threshold_dbfs", "limiter threshold", e.limiter.threshold);
  s->gain_q11("final_gain_db", "final gain", e.final_gain_q11);
}

void suppressor_settings(const PeakSuppressorContext& p, Settings* s) {
  nlohmann::json bands = nlohmann::json::array();
  for (int b = 0; b < SUPPRESSOR_BAND_COUNT; ++b) {
    const SuppressorBand& band = SUPPRESSOR_BANDS[static_cast<size_t>(b)];
    const int16_t t = p.band_threshold[static_cast<size_t>(b)];
    const double low = band.first * BIN_HZ;
    const double high = band.last * BIN_HZ;
    const double db = round_to(t * LEVEL_UNIT_DB, 2);
    bands.push_back(
        {{"band", b}, {"low_hz", low}, {"high_hz", high}, {"threshold", t}, {"threshold_db", db}});
    char line[160];
    std::snprintf(line, sizeof line, "band %2d %7.2f to %7.2f Hz: marked above %d (about %s dB)", b,
                  low, high, t, number_text(db, 2).c_str());
    s->add("", nullptr, line);
  }
  // The band lines above are for the table; JSON takes the array.
  s->add("bands", bands, "");
  s->gain_q15("mark1_gain_db", "gain of marked bands", p.mark1_gain);
  s->gain_q15("mark2_gain_db", "gain of strongly marked bands", p.mark2_gain);
  s->gain_q15("rest_gain_db", "gain of the other bins while a band is marked", p.rest1_gain);
  s->number("hold_ms", "hold", p.hold_max * FRAME_MS / 2, 0, "ms");
  s->add("peak_level_min", p.peak_level_min,
         "minimum peak level " + std::to_string(p.peak_level_min) + " level units (about " +
             number_text(round_to(p.peak_level_min * LEVEL_UNIT_DB, 2), 2) + " dB)" +
             (p.peak_level_min == MAX_16 ? ": every band counts" : ""));
}

void dither_settings(const DitherContext& d, Settings* s) {
  s->add("period_samples", d.period, "period " + std::to_string(d.period) + " samples");
  s->add("step_lsb", d.step, "step " + std::to_string(d.step) + " LSB");
  s->add("threshold", d.threshold, "decision threshold " + std::to_string(d.threshold) + " of 16");
}

}  // namespace

int highpass_cutoff_hz(const HighPassContext& c) {
  for (int r = 0; r < HIGHPASS_ROWS; ++r) {
    const auto& k = HIGHPASS_COEFFS_16K[static_cast<size_t>(r)];
    if (k[0] == c.b0 && k[1] == c.b1 && k[2] == c.b2 && k[3] == c.a1 && k[4] == c.a2) return 50 * r;
  }
  return 0;
}

double smoothing_time_ms(int16_t coefficient) {
  if (coefficient <= 0) return -1.0;
  const double a = coefficient / 32768.0;
  return -FRAME_MS / std::log1p(-a);
}

std::string number_text(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  std::string s = text;
  if (s.find('.') != std::string::npos) {
    while (s.back() == '0') s.pop_back();
    if (s.back() == '.') s.pop_back();
  }
  if (s == "-0") s = "0";
  return s;
}

std::vector<StageReview> stage_settings(const Engine& engine) {
  std::vector<StageReview> stages;
  for (const StageInfo& e : STAGE_TABLE) {
    const bool enabled = engine_stage_header(engine, e.id)->enable == 1;
    StageReview r{std::string(e.trace_name), std::string(e.label), enabled, {}};
    if (r.enabled) {
      Settings s(&r.settings);
      // Each stage's own reading of its context.
      switch (e.id) {
        case SlotStage::kHighPass: highpass_settings(engine.highpass, &s); break;
        case SlotStage::kDynamics: dynamics_settings(engine.dynamics, &s); break;
        case SlotStage::kEqualizer: equalizer_settings(engine.equalizer, &s); break;
        case SlotStage::kSuppressor: suppressor_settings(engine.suppressor, &s); break;
        case SlotStage::kDither: dither_settings(engine.dither, &s); break;
        case SlotStage::kAll:
        case SlotStage::kNone: break;
      }
    }
    stages.push_back(std::move(r));
  }
  return stages;
}

}  // namespace halvern::tools
