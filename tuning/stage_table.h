// The stage table: the one list of the engine's stages. Every place that walks the stages (the
// engine's chain, the slot catalogue, the observer's positions, the toolkit's run, statistics,
// report, explain and check) iterates this table. A new stage is a row here, its folder under
// stages/, its rows in the slot catalogue and its wiring in the engine (README, Layout).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace halvern {

// A stage of the chain, and the stage a tuning slot belongs to (slot_catalogue.h): kAll for the
// stage mask, kNone for a slot that nothing reads.
enum class SlotStage : uint8_t {
  kAll,
  kHighPass,
  kDynamics,
  kEqualizer,
  kDither,
  kSuppressor,
  kNone,
};

// Stage mask bits (slot 0). Bits 5 to 15 are ignored.
inline constexpr int16_t STAGE_BIT_HIGHPASS = 1 << 0;
inline constexpr int16_t STAGE_BIT_DYNAMICS = 1 << 1;
inline constexpr int16_t STAGE_BIT_EQUALIZER = 1 << 2;
inline constexpr int16_t STAGE_BIT_DITHER = 1 << 3;
inline constexpr int16_t STAGE_BIT_SUPPRESSOR = 1 << 4;

struct StageInfo {
  SlotStage id;
  int16_t bit;                  // its bit in the stage mask (slot 0)
  int chain_position;           // where the chain runs it: 1 first (0 is the input)
  std::string_view key;         // its word in --stages
  std::string_view trace_name;  // its trace file "<position>_<name>", its statistics key
  std::string_view label;       // for people: "the high-pass stage", "after high-pass"
};

// In chain order: the row at index i runs at chain position i + 1.
inline constexpr std::array<StageInfo, 5> STAGE_TABLE = {{
    {SlotStage::kHighPass, STAGE_BIT_HIGHPASS, 1, "hp", "highpass", "high-pass"},
    {SlotStage::kDynamics, STAGE_BIT_DYNAMICS, 2, "dyn", "dynamics", "dynamics"},
    {SlotStage::kEqualizer, STAGE_BIT_EQUALIZER, 3, "eq", "equalizer", "equalizer"},
    {SlotStage::kSuppressor, STAGE_BIT_SUPPRESSOR, 4, "sup", "suppressor", "peak suppressor"},
    {SlotStage::kDither, STAGE_BIT_DITHER, 5, "dither", "dither", "dither"},
}};

inline constexpr int STAGE_COUNT = static_cast<int>(STAGE_TABLE.size());

// The row of a stage; nullptr for kAll and kNone.
constexpr const StageInfo* find_stage(SlotStage id) {
  for (const StageInfo& s : STAGE_TABLE) {
    if (s.id == id) return &s;
  }
  return nullptr;
}

// The stages in the order of their bits in the stage mask.
inline constexpr std::array<StageInfo, STAGE_COUNT> STAGES_BY_BIT = [] {
  std::array<StageInfo, STAGE_COUNT> sorted = STAGE_TABLE;
  for (size_t i = 1; i < sorted.size(); ++i) {
    for (size_t j = i; j > 0 && sorted[j].bit < sorted[j - 1].bit; --j) {
      const StageInfo t = sorted[j];
      sorted[j] = sorted[j - 1];
      sorted[j - 1] = t;
    }
  }
  return sorted;
}();

// The stage mask with every stage on.
inline constexpr int16_t ALL_STAGES_MASK = [] {
  int mask = 0;
  for (const StageInfo& s : STAGE_TABLE) mask |= s.bit;
  return static_cast<int16_t>(mask);
}();

static_assert(
    [] {
      for (size_t i = 0; i < STAGE_TABLE.size(); ++i) {
        if (STAGE_TABLE[i].chain_position != static_cast<int>(i) + 1) return false;
        if (STAGES_BY_BIT[i].bit != (1 << i)) return false;
      }
      return true;
    }(),
    "the stage table is in chain order, with one bit per stage from bit 0 up");

}  // namespace halvern
