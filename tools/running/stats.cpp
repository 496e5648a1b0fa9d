#include "tools/running/stats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "frame/stage_header.h"

namespace halvern::tools {

namespace {

constexpr double FULL_SCALE = 32768.0;
constexpr size_t BAND_COLUMN_WIDTH = 5;  // the suppressor's table: a blank and 4 digits

double to_db(double ratio) {
  return ratio > 0 ? 20.0 * std::log10(ratio) : -std::numeric_limits<double>::infinity();
}

// A figure in dB for JSON: null for -infinity (silence).
nlohmann::ordered_json db_json(double db) {
  if (std::isinf(db)) return nullptr;
  return db;
}

}  // namespace

void SignalStats::add(const int16_t* x, int n) {
  int64_t s = 0;
  uint64_t s2 = 0;
  int32_t p = peak;
  int64_t c = 0;
  for (int i = 0; i < n; ++i) {
    const int32_t v = x[i];
    s += v;
    s2 += static_cast<uint64_t>(v * v);
    const int32_t a = v < 0 ? -v : v;
    p = a > p ? a : p;
    c += (v == 32767 || v == -32768) ? 1 : 0;
  }
  samples += n;
  sum += s;
  sum_squares += s2;
  peak = p;
  clipped += c;
}

double SignalStats::peak_dbfs() const { return to_db(peak / FULL_SCALE); }

double SignalStats::rms_dbfs() const {
  if (samples == 0) return -std::numeric_limits<double>::infinity();
  return to_db(std::sqrt(static_cast<double>(sum_squares) / static_cast<double>(samples)) /
               FULL_SCALE);
}

double SignalStats::crest_factor() const {
  if (samples == 0 || sum_squares == 0) return 0;
  return peak / std::sqrt(static_cast<double>(sum_squares) / static_cast<double>(samples));
}

double SignalStats::dc() const {
  if (samples == 0) return 0;
  return static_cast<double>(sum) / static_cast<double>(samples) / FULL_SCALE;
}

double RunStats::audio_seconds() const { return static_cast<double>(samples) / 16000.0; }

double RunStats::speed() const { return wall_seconds > 0 ? audio_seconds() / wall_seconds : 0; }

const char* position_name(ChainPosition position) {
  const int p = static_cast<int>(position);
  if (p == 0) return "input";
  if (p >= CHAIN_POSITION_COUNT) return "?";
  return STAGE_TABLE[static_cast<size_t>(p - 1)].trace_name.data();
}

nlohmann::ordered_json stats_to_json(const RunStats& stats) {
  nlohmann::ordered_json j;
  j["samples"] = stats.samples;
  j["frames"] = stats.frames;
  j["dropped_samples"] = stats.dropped_samples;
  j["audio_seconds"] = stats.audio_seconds();
  j["wall_seconds"] = stats.wall_seconds;
  j["speed_x_real_time"] = stats.speed();
  nlohmann::ordered_json positions = nlohmann::ordered_json::object();
  for (int p = 0; p < CHAIN_POSITION_COUNT; ++p) {
    const PositionStats& ps = stats.positions[static_cast<size_t>(p)];
    if (!ps.enabled) continue;
    nlohmann::ordered_json o;
    o["peak_dbfs"] = db_json(ps.signal.peak_dbfs());
    o["rms_dbfs"] = db_json(ps.signal.rms_dbfs());
    o["crest_factor"] = ps.signal.crest_factor();
    o["dc"] = ps.signal.dc();
    o["clipped_samples"] = ps.signal.clipped;
    if (p != 0) o["changed_frames"] = ps.changed_frames;
    positions[position_name(static_cast<ChainPosition>(p))] = o;
  }
  j["positions"] = positions;
  if (stats.dynamics.enabled) {
    const DynamicsStats& d = stats.dynamics;
    j["dynamics"] = {
        {"gain_db_min", db_json(d.gain_db_min)}, {"gain_db_mean", db_json(d.gain_db_mean)},
        {"gain_db_max", db_json(d.gain_db_max)}, {"frames_compression", d.frames_compression},
        {"frames_boost", d.frames_boost},        {"frames_expansion", d.frames_expansion}};
  }
  if (stats.limiter.enabled) {
    j["limiter"] = {{"frames_limiting", stats.limiter.frames_limiting},
                    {"deepest_reduction_db", db_json(stats.limiter.deepest_reduction_db)}};
  }
  if (stats.suppressor.enabled) {
    j["suppressor"] = {{"frames_marked", stats.suppressor.frames_marked},
                       {"marks_per_band", stats.suppressor.marks},
                       {"longest_marked_run_per_band", stats.suppressor.longest_run}};
  }
  return j;
}

std::string stats_summary(const RunStats& stats) {
  std::string text;
  char line[256];
  const auto add = [&text, &line](int n) {
    if (n > 0)
      text.append(line,
                  static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1);
  };
  add(std::snprintf(
      line, sizeof line,
      "%lld frames (%.2f s of audio), %lld samples dropped; %.3f s, %.0fx real time\n",
      static_cast<long long>(stats.frames), stats.audio_seconds(),
      static_cast<long long>(stats.dropped_samples), stats.wall_seconds, stats.speed()));
  add(std::snprintf(line, sizeof line, "%-11s %9s %9s %7s %9s %8s %8s\n", "position", "peak dBFS",
                    "RMS dBFS", "crest", "DC", "clipped", "changed"));
  for (int p = 0; p < CHAIN_POSITION_COUNT; ++p) {
    const PositionStats& ps = stats.positions[static_cast<size_t>(p)];
    if (!ps.enabled) continue;
    char changed[24] = "-";
    if (p != 0)
      std::snprintf(changed, sizeof changed, "%lld", static_cast<long long>(ps.changed_frames));
    const double dc = std::fabs(ps.signal.dc()) < 0.000005 ? 0.0 : ps.signal.dc();  // no "-0.00000"
    add(std::snprintf(line, sizeof line, "%-11s %9.2f %9.2f %7.2f %9.5f %8lld %8s\n",
                      position_name(static_cast<ChainPosition>(p)), ps.signal.peak_dbfs(),
                      ps.signal.rms_dbfs(), ps.signal.crest_factor(), dc,
                      static_cast<long long>(ps.signal.clipped), changed));
  }
  if (stats.dynamics.enabled) {
    const DynamicsStats& d = stats.dynamics;
    add(std::snprintf(
        line, sizeof line,
        "dynamics:   gain %.2f / %.2f / %.2f dB (min / mean / max); frames: %lld "
        "compressing, %lld boosting, %lld expanding\n",
        d.gain_db_min, d.gain_db_mean, d.gain_db_max, static_cast<long long>(d.frames_compression),
        static_cast<long long>(d.frames_boost), static_cast<long long>(d.frames_expansion)));
  }
  if (stats.limiter.enabled) {
    add(std::snprintf(line, sizeof line, "limiter:    %lld frames limiting, deepest %.2f dB\n",
                      static_cast<long long>(stats.limiter.frames_limiting),
                      stats.limiter.deepest_reduction_db));
  }
  if (stats.suppressor.enabled) {
    const SuppressorStats& s = stats.suppressor;
    add(std::snprintf(line, sizeof line, "suppressor: %lld frames with a marked band\n",
                      static_cast<long long>(s.frames_marked)));
    std::string marks = "  band          ";
    std::string counts = "  marked frames ";
    std::string runs = "  longest run   ";
    for (int b = 0; b < SUPPRESSOR_BAND_COUNT; ++b) {
      const std::string count = std::to_string(s.marks[static_cast<size_t>(b)]);
      const std::string run = std::to_string(s.longest_run[static_cast<size_t>(b)]);
      // Each column one blank wider than its widest figure, and at least 5 wide.
      const size_t width = std::max<size_t>({BAND_COLUMN_WIDTH, count.size() + 1, run.size() + 1});
      const auto cell = [width](const std::string& figure) {
        return std::string(width - figure.size(), ' ') + figure;
      };
      marks += cell(std::to_string(b));
      counts += cell(count);
      runs += cell(run);
    }
    text += marks + "\n" + counts + "\n" + runs + "\n";
  }
  return text;
}

std::string dropped_note(const RunStats& stats) {
  const int64_t n = stats.dropped_samples;
  if (n <= 0) return "";
  return "the last " + std::to_string(n) + (n == 1 ? " sample" : " samples") +
         " (a partial frame) " + (n == 1 ? "was" : "were") +
         " dropped, as halvern-sim does; --pad keeps " + (n == 1 ? "it" : "them");
}

}  // namespace halvern::tools
