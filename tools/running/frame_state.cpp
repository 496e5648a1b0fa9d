#include "tools/running/frame_state.h"

#include <cmath>
#include <cstdio>
#include <limits>

namespace halvern::tools {

FrameState capture_frame_state(const Engine& engine, int64_t frame) {
  FrameState s;
  s.frame = frame;
  const MainCompressor& c = engine.dynamics.main_compressor;
  s.dyn_level = c.level;
  s.dyn_gain = c.gain;
  s.dyn_makeup = c.makeup_gain_prev;
  s.comp_level = engine.equalizer.compander.level;
  s.comp_gain = engine.equalizer.compander.gain;
  s.limiter_gain = engine.equalizer.limiter.gain;
  const PeakSuppressorContext& p = engine.suppressor;
  s.band_level = p.band_level;
  s.band_mark = p.band_mark;
  s.band_hold = p.band_hold;
  s.peak_flag = p.peak_flag;
  s.dither_seed = engine.dither.seed;
  s.dither_direction = engine.dither.direction;
  return s;
}

double q7_db(int16_t level) { return level / 128.0; }

namespace {
double ratio_db(double ratio) {
  return ratio > 0 ? 20.0 * std::log10(ratio) : -std::numeric_limits<double>::infinity();
}
}  // namespace

double q15_db(int16_t gain) { return ratio_db(gain / 32768.0); }
double q11_db(int16_t factor) { return ratio_db(factor / 2048.0); }

std::string frames_csv_header() {
  std::string h =
      "frame,time_s,dyn_level_db,dyn_gain_db,dyn_makeup_db,comp_level_db,comp_gain_db,"
      "limiter_gain_db";
  for (const char* field : {"level", "mark", "hold", "peak"}) {
    for (int b = 0; b < SUPPRESSOR_BAND_COUNT; ++b) {
      char name[32];
      std::snprintf(name, sizeof name, ",band%02d_%s", b, field);
      h += name;
    }
  }
  h += ",dither_seed,dither_direction\n";
  return h;
}

std::string frames_csv_row(const FrameState& s) {
  char buffer[256];
  auto db = [](double v) { return std::isinf(v) ? -999.0 : v; };  // a zero gain: -999 dB
  std::snprintf(buffer, sizeof buffer, "%lld,%.2f,%.4f,%.4f,%.4f,%.4f,%.4f,%.4f",
                static_cast<long long>(s.frame), static_cast<double>(s.frame) * 0.02,
                q7_db(s.dyn_level), db(q15_db(s.dyn_gain)), db(q11_db(s.dyn_makeup)),
                q7_db(s.comp_level), db(q15_db(s.comp_gain)), db(q15_db(s.limiter_gain)));
  std::string row = buffer;
  for (const auto* field : {&s.band_level, &s.band_mark, &s.band_hold, &s.peak_flag}) {
    for (int16_t v : *field) {
      row += ',';
      row += std::to_string(v);
    }
  }
  row += ',' + std::to_string(s.dither_seed) + ',' + std::to_string(s.dither_direction) + '\n';
  return row;
}

}  // namespace halvern::tools
