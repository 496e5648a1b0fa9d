#include "tools/loop/loop_search.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <future>
#include <mutex>
#include <thread>

namespace halvern::tools {

namespace {

LoopRun run_at(const LoopInputs& inputs, int16_t stage_mask, double gain_db) {
  LoopSettings settings;
  settings.gain_db = gain_db;
  settings.stage_mask = stage_mask;
  settings.tail_frames = inputs.tail_frames;
  return run_loop(*inputs.path, *inputs.source, *inputs.slots, settings);
}

bool howls_at(const LoopInputs& inputs, int16_t stage_mask, double gain_db) {
  return run_at(inputs, stage_mask, gain_db).summary.howl;
}

// The run at gain_db and the distance of its loudspeaker signal from the source.
SweepPoint point_at(const LoopInputs& inputs, int16_t stage_mask, double gain_db) {
  LoopRun run = run_at(inputs, stage_mask, gain_db);
  SweepPoint point{run.summary, log_spectral_distance(*inputs.source, run.output)};
  return point;
}

}  // namespace

MsgSearch search_msg(const LoopInputs& inputs, int16_t stage_mask, double min_db, double max_db) {
  MsgSearch search;
  const auto steps = static_cast<int64_t>(std::floor((max_db - min_db) / MSG_STEP_DB + 1e-9));
  const auto gain = [&](int64_t k) { return min_db + MSG_STEP_DB * static_cast<double>(k); };
  search.runs = 1;
  if (howls_at(inputs, stage_mask, min_db)) {
    search.howls_at_min = true;
    search.msg_db = min_db;
    return search;
  }
  ++search.runs;
  if (!howls_at(inputs, stage_mask, gain(steps))) {
    search.stable_at_max = true;
    search.msg_db = gain(steps);
    return search;
  }
  int64_t stable = 0;
  int64_t howling = steps;
  while (howling - stable > 1) {
    const int64_t mid = stable + (howling - stable) / 2;
    ++search.runs;
    (howls_at(inputs, stage_mask, gain(mid)) ? howling : stable) = mid;
  }
  search.msg_db = gain(stable);
  return search;
}

LoopMeasurement measure_loop(const LoopInputs& inputs, const NyquistResult& nyquist,
                             int16_t stage_mask, double min_db, double max_db) {
  LoopMeasurement m;
  m.nyquist = nyquist;
  const auto without = static_cast<int16_t>(stage_mask & ~STAGE_BIT_SUPPRESSOR);
  m.suppressor_in_mask = without != stage_mask;
  if (m.suppressor_in_mask) {
    auto other =
        std::async(std::launch::async, search_msg, std::cref(inputs), without, min_db, max_db);
    m.with_suppressor = search_msg(inputs, stage_mask, min_db, max_db);
    m.without_suppressor = other.get();
  } else {
    m.with_suppressor = m.without_suppressor = search_msg(inputs, stage_mask, min_db, max_db);
  }
  m.asg_db = m.with_suppressor.msg_db - m.without_suppressor.msg_db;
  m.lsd_gain_db = m.without_suppressor.msg_db - LSD_BELOW_MSG_DB;

  SweepPoint with_point;
  SweepPoint without_point;
  if (m.suppressor_in_mask) {
    auto other =
        std::async(std::launch::async, point_at, std::cref(inputs), without, m.lsd_gain_db);
    with_point = point_at(inputs, stage_mask, m.lsd_gain_db);
    without_point = other.get();
  } else {
    with_point = without_point = point_at(inputs, stage_mask, m.lsd_gain_db);
  }
  m.lsd = with_point.lsd;
  m.lsd_run = with_point.summary;
  m.lsd_without_suppressor = without_point.lsd;
  m.lsd_run_without_suppressor = without_point.summary;
  m.runs = m.with_suppressor.runs + (m.suppressor_in_mask ? m.without_suppressor.runs + 2 : 1);
  return m;
}

std::vector<SweepPoint> sweep_gains(const LoopInputs& inputs, int16_t stage_mask,
                                    const std::vector<double>& gains_db, unsigned threads) {
  std::vector<SweepPoint> points(gains_db.size());
  std::atomic<size_t> next{0};
  std::exception_ptr failure;
  std::mutex failure_lock;
  const auto work = [&] {
    for (size_t i = next++; i < gains_db.size(); i = next++) {
      try {
        points[i] = point_at(inputs, stage_mask, gains_db[i]);
      } catch (...) {
        const std::lock_guard<std::mutex> hold(failure_lock);
        if (!failure) failure = std::current_exception();
        next = gains_db.size();
      }
    }
  };
  std::vector<std::thread> pool;
  const size_t count = std::clamp<size_t>(threads, 1, std::max<size_t>(1, gains_db.size()));
  for (size_t t = 1; t < count; ++t) pool.emplace_back(work);
  work();
  for (std::thread& t : pool) t.join();
  if (failure) std::rethrow_exception(failure);
  return points;
}

}  // namespace halvern::tools
