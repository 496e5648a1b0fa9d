// The slot catalogue: what each of the 85 tuning slots is called, which stage reads it, its unit,
// its documented range and what a value outside that range does. Stages name their slots through
// slot_index(), and the tools read their descriptions from here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "tuning/stage_table.h"
#include "tuning/tuning.h"

namespace halvern {

// What the stage does with a value outside the slot's documented range.
enum class OutOfRange : uint8_t {
  kAnyValue,     // no range: every 16-bit value is used as it is
  kClamped,      // the nearest bound of the range is used
  kSkipped,      // the configure step is skipped: slots group_first..group_last keep their defaults
  kPassThrough,  // the stage passes the signal through unchanged
};

struct SlotInfo {
  int16_t index;
  std::string_view name;  // the canonical name, as in examples/tuning.txt
  SlotStage stage;
  std::string_view unit;  // empty when the value is a plain number or a code
  int16_t min;            // the documented range, both ends included (kAnyValue: unused)
  int16_t max;
  OutOfRange out_of_range;
  int16_t group_first;  // kSkipped: the slots whose configure step is skipped together
  int16_t group_last;
  std::string_view meaning;

  constexpr bool has_range() const { return out_of_range != OutOfRange::kAnyValue; }
  constexpr bool in_range(int value) const {
    return !has_range() || (value >= min && value <= max);
  }
};

inline constexpr std::array<SlotInfo, TUNING_SLOT_COUNT> SLOT_CATALOGUE = {{
    {0, "stage_mask", SlotStage::kAll, "bits", 0, 0, OutOfRange::kAnyValue, 0, 0,
     "bit 0 high-pass, 1 dynamics, 2 equalizer, 3 dither, 4 peak suppressor; bits 5-15 ignored"},
    {1, "hp_cutoff_hz", SlotStage::kHighPass, "Hz", 0, 800, OutOfRange::kPassThrough, 1, 1,
     "high-pass cut-off, in steps of 50 Hz (below 50: pass-through)"},
    {2, "hp_gain_tenth_db", SlotStage::kHighPass, "0.1 dB", -300, 240, OutOfRange::kClamped, 2, 2,
     "high-pass stage gain, in 0.5 dB steps"},
    {3, "dyn_release_mode", SlotStage::kDynamics, "", 0, 0, OutOfRange::kAnyValue, 3, 3,
     "2: the level follows the gain release time; any other value: a fixed slow level release"},
    {4, "dyn_attack", SlotStage::kDynamics, "time setting", 0, 1300, OutOfRange::kSkipped, 4, 5,
     "gain attack: smoothing over about k + 1 frames for k = value / 10 up to 100, 10 k - 899 "
     "frames above"},
    {5, "dyn_release", SlotStage::kDynamics, "time setting", 0, 1300, OutOfRange::kSkipped, 4, 5,
     "gain release, the same way (and the level release when slot 3 is 2)"},
    {6, "dyn_comp_threshold", SlotStage::kDynamics, "dB below full scale", 0, 90,
     OutOfRange::kSkipped, 6, 9, "compressor threshold T1"},
    {7, "dyn_boost_threshold", SlotStage::kDynamics, "dB below full scale", 0, 90,
     OutOfRange::kSkipped, 6, 9, "boost starts below T2"},
    {8, "dyn_full_boost_threshold", SlotStage::kDynamics, "dB below full scale", 0, 90,
     OutOfRange::kSkipped, 6, 9,
     "full makeup gain at and below T3; at least slot 7 (less ends the run with a division error)"},
    {9, "dyn_exp_threshold", SlotStage::kDynamics, "dB below full scale", 0, 90,
     OutOfRange::kSkipped, 6, 9, "expander acts at and below T4"},
    {10, "dyn_comp_ratio", SlotStage::kDynamics, "ratio x 10", 10, 100, OutOfRange::kClamped, 10,
     10, "compressor ratio"},
    {11, "dyn_exp_ratio", SlotStage::kDynamics, "ratio x 10", 10, 100, OutOfRange::kClamped, 11, 11,
     "expander ratio"},
    {12, "dyn_makeup_db", SlotStage::kDynamics, "dB", 0, 18, OutOfRange::kSkipped, 12, 12,
     "makeup gain for quiet signals (outside its range the boost ramp is flat too)"},
    {13, "dyn_input_gain_db", SlotStage::kDynamics, "dB", -30, 23, OutOfRange::kClamped, 13, 13,
     "fixed gain before the level control"},
    {14, "dyn_output_gain_db", SlotStage::kDynamics, "dB", -30, 23, OutOfRange::kClamped, 14, 14,
     "fixed gain after the level control"},
    {15, "dyn_mode", SlotStage::kDynamics, "bits", 0, 0, OutOfRange::kAnyValue, 15, 15,
     "bit 0 pre-expander on, bit 1 post-expander on"},
    {16, "pre_exp_threshold", SlotStage::kDynamics, "dB below full scale", 0, 90,
     OutOfRange::kSkipped, 16, 17, "pre-expander threshold"},
    {17, "pre_exp_ratio", SlotStage::kDynamics, "ratio x 10", 0, 100, OutOfRange::kSkipped, 16, 17,
     "pre-expander ratio"},
    {18, "post_comp_threshold", SlotStage::kDynamics, "dB below full scale", 0, 29,
     OutOfRange::kClamped, 18, 18, "kept, no effect"},
    {19, "post_comp_ratio", SlotStage::kDynamics, "ratio x 10", 10, 100, OutOfRange::kClamped, 19,
     19, "kept, no effect"},
    {20, "post_exp_threshold", SlotStage::kDynamics, "dB below full scale", 55, 90,
     OutOfRange::kClamped, 20, 20, "post-expander threshold"},
    {21, "post_exp_ratio", SlotStage::kDynamics, "ratio x 10", 10, 100, OutOfRange::kClamped, 21,
     21, "post-expander ratio"},
    {22, "eq_tap_00", SlotStage::kEqualizer, "Q15", 0, 0, OutOfRange::kAnyValue, 22, 22,
     "FIR taps 0 and 62"},
    {23, "eq_tap_01", SlotStage::kEqualizer, "Q15", 0, 0, OutOfRange::kAnyValue, 23, 23,
     "FIR taps 1 and 61"},
    {24, "eq_tap_02", SlotStage::kEqualizer, "Q15", 0, 0, OutOfRange::kAnyValue, 24, 24,
     "FIR taps 2 and 60"},
    {25, "eq_tap_03", SlotStage::kEqualizer, "Q15", 0, 0, OutOfRange::kAnyValue, 25, 25,
     "FIR taps 3 and 59"},
    {26, "eq_tap_04", SlotStage::kEqualizer, "Q15", 0, 0, OutOfRange::kAnyValue, 26, 26,
     "FIR taps 4 and 58"},
    {27, "eq_tap_05", SlotStage::kEqualizer, "Q15", 0, 0, OutOfRange::kAnyValue, 27, 27,
     "FIR taps 5 and 57"},
    {28, "eq_tap_06", SlotStage::kEqualizer, "Q15", 0, 0, OutOfRange::kAnyValue, 28, 28,
     "FIR taps 6 and 56"},
    {29, "eq_tap_07", SlotStage::kEqualizer, "Q15", 0, 0, OutOfRange::kAnyValue, 29, 29,
     "FIR taps 7 and 55"},
    {30, "eq_tap_08", SlotStage::kEqualizer, "Q15", 0, 0, OutOfRange::kAnyValue, 30, 30,
     "FIR taps 8 and 54"},
    {31, "eq_tap_09", SlotStage::kEqualizer, "Q15", 0, 0, OutOfRange::kAnyValue, 31, 31,
     "FIR taps 9 and 53"},
    {32, "eq_tap_10", SlotStage::kEqualizer, "Q15", 0, 0, OutOfRange::kAnyValue, 32, 32,
     "FIR taps 10 and 52"},
    {33, "eq_tap_11", SlotStage::kEqualizer, "Q15", 0, 0, OutOfRange::kAnyValue, 33, 33,
     "FIR taps 11 and 51"},
    {34, "eq_tap_12", SlotStage::kEqualizer, "Q15", 0, 0, OutOfRange::kAnyValue, 34, 34,
     "FIR taps 12 and 50"},
    {35, "eq_tap_13", SlotStage::kEqualizer, "Q15", 0, 0, OutOfRange::kAnyValue, 35, 35,
     "FIR taps 13 and 49"},
    {36, "eq_tap_14", SlotStage::kEqualizer, "Q15", 0, 0, OutOfRange::kAnyValue, 36, 36,
     "FIR taps 14 and 48"},
    {37, "eq_tap_15", SlotStage::kEqualizer, "Q15", 0, 0, OutOfRange::kAnyValue, 37, 37,
     "FIR taps 15 and 47"},
    {38, "eq_tap_16", SlotStage::kEqualizer, "Q15", 0, 0, OutOfRange::kAnyValue, 38, 38,
     "FIR taps 16 and 46"},
    {39, "eq_tap_17", SlotStage::kEqualizer, "Q15", 0, 0, OutOfRange::kAnyValue, 39, 39,
     "FIR taps 17 and 45"},
    {40, "eq_tap_18", SlotStage::kEqualizer, "Q15", 0, 0, OutOfRange::kAnyValue, 40, 40,
     "FIR taps 18 and 44"},
    {41, "eq_tap_19", SlotStage::kEqualizer, "Q15", 0, 0, OutOfRange::kAnyValue, 41, 41,
     "FIR taps 19 and 43"},
    {42, "eq_tap_20", SlotStage::kEqualizer, "Q15", 0, 0, OutOfRange::kAnyValue, 42, 42,
     "FIR taps 20 and 42"},
    {43, "eq_tap_21", SlotStage::kEqualizer, "Q15", 0, 0, OutOfRange::kAnyValue, 43, 43,
     "FIR taps 21 and 41"},
    {44, "eq_tap_22", SlotStage::kEqualizer, "Q15", 0, 0, OutOfRange::kAnyValue, 44, 44,
     "FIR taps 22 and 40"},
    {45, "eq_tap_23", SlotStage::kEqualizer, "Q15", 0, 0, OutOfRange::kAnyValue, 45, 45,
     "FIR taps 23 and 39"},
    {46, "eq_tap_24", SlotStage::kEqualizer, "Q15", 0, 0, OutOfRange::kAnyValue, 46, 46,
     "FIR taps 24 and 38"},
    {47, "eq_tap_25", SlotStage::kEqualizer, "Q15", 0, 0, OutOfRange::kAnyValue, 47, 47,
     "FIR taps 25 and 37"},
    {48, "eq_tap_26", SlotStage::kEqualizer, "Q15", 0, 0, OutOfRange::kAnyValue, 48, 48,
     "FIR taps 26 and 36"},
    {49, "eq_tap_27", SlotStage::kEqualizer, "Q15", 0, 0, OutOfRange::kAnyValue, 49, 49,
     "FIR taps 27 and 35"},
    {50, "eq_tap_28", SlotStage::kEqualizer, "Q15", 0, 0, OutOfRange::kAnyValue, 50, 50,
     "FIR taps 28 and 34"},
    {51, "eq_tap_29", SlotStage::kEqualizer, "Q15", 0, 0, OutOfRange::kAnyValue, 51, 51,
     "FIR taps 29 and 33"},
    {52, "eq_tap_30", SlotStage::kEqualizer, "Q15", 0, 0, OutOfRange::kAnyValue, 52, 52,
     "FIR taps 30 and 32"},
    {53, "eq_centre_tap", SlotStage::kEqualizer, "Q15", 0, 0, OutOfRange::kAnyValue, 53, 53,
     "FIR centre tap 31 (16384 = unity; all taps 0 also gives unity)"},
    {54, "eqc_comp_threshold", SlotStage::kEqualizer, "dB below full scale", 0, 54,
     OutOfRange::kClamped, 54, 54, "equalizer compressor threshold"},
    {55, "eqc_comp_ratio", SlotStage::kEqualizer, "ratio x 10", 10, 100, OutOfRange::kClamped, 55,
     55, "equalizer compressor ratio"},
    {56, "eqc_exp_threshold", SlotStage::kEqualizer, "dB below full scale", 55, 90,
     OutOfRange::kClamped, 56, 56, "equalizer expander threshold"},
    {57, "eqc_exp_ratio", SlotStage::kEqualizer, "ratio x 10", 10, 100, OutOfRange::kClamped, 57,
     57, "equalizer expander ratio"},
    {58, "eq_output_gain", SlotStage::kEqualizer, "0.1 dB", -300, 240, OutOfRange::kClamped, 58, 58,
     "final gain of the equalizer stage, in 0.5 dB steps"},
    {59, "limiter_threshold", SlotStage::kEqualizer, "0.1 dB below full scale", 0, 204,
     OutOfRange::kClamped, 59, 59, "peak limiter threshold, in 0.5 dB steps"},
    {60, "dither", SlotStage::kDither, "", 10, 39, OutOfRange::kClamped, 60, 60,
     "tens digit: period in samples (1..3); units digit: threshold and step (1..4 LSB)"},
    {61, "low_band_offset", SlotStage::kSuppressor, "level units", 0, 0, OutOfRange::kAnyValue, 61,
     61, "added to the thresholds of bands 0..7 (16-bit sum that wraps)"},
    {62, "high_band_offset", SlotStage::kSuppressor, "level units", 0, 0, OutOfRange::kAnyValue, 62,
     62, "added to the thresholds of bands 8..13"},
    {63, "band_threshold_00", SlotStage::kSuppressor, "level units (about 0.37 dB)", 0, 0,
     OutOfRange::kAnyValue, 63, 63, "peak-to-floor level band 0 must exceed to be marked"},
    {64, "band_threshold_01", SlotStage::kSuppressor, "level units (about 0.37 dB)", 0, 0,
     OutOfRange::kAnyValue, 64, 64, "peak-to-floor level band 1 must exceed to be marked"},
    {65, "band_threshold_02", SlotStage::kSuppressor, "level units (about 0.37 dB)", 0, 0,
     OutOfRange::kAnyValue, 65, 65, "peak-to-floor level band 2 must exceed to be marked"},
    {66, "band_threshold_03", SlotStage::kSuppressor, "level units (about 0.37 dB)", 0, 0,
     OutOfRange::kAnyValue, 66, 66, "peak-to-floor level band 3 must exceed to be marked"},
    {67, "band_threshold_04", SlotStage::kSuppressor, "level units (about 0.37 dB)", 0, 0,
     OutOfRange::kAnyValue, 67, 67, "peak-to-floor level band 4 must exceed to be marked"},
    {68, "band_threshold_05", SlotStage::kSuppressor, "level units (about 0.37 dB)", 0, 0,
     OutOfRange::kAnyValue, 68, 68, "peak-to-floor level band 5 must exceed to be marked"},
    {69, "band_threshold_06", SlotStage::kSuppressor, "level units (about 0.37 dB)", 0, 0,
     OutOfRange::kAnyValue, 69, 69, "peak-to-floor level band 6 must exceed to be marked"},
    {70, "band_threshold_07", SlotStage::kSuppressor, "level units (about 0.37 dB)", 0, 0,
     OutOfRange::kAnyValue, 70, 70, "peak-to-floor level band 7 must exceed to be marked"},
    {71, "band_threshold_08", SlotStage::kSuppressor, "level units (about 0.37 dB)", 0, 0,
     OutOfRange::kAnyValue, 71, 71, "peak-to-floor level band 8 must exceed to be marked"},
    {72, "band_threshold_09", SlotStage::kSuppressor, "level units (about 0.37 dB)", 0, 0,
     OutOfRange::kAnyValue, 72, 72, "peak-to-floor level band 9 must exceed to be marked"},
    {73, "band_threshold_10", SlotStage::kSuppressor, "level units (about 0.37 dB)", 0, 0,
     OutOfRange::kAnyValue, 73, 73, "peak-to-floor level band 10 must exceed to be marked"},
    {74, "band_threshold_11", SlotStage::kSuppressor, "level units (about 0.37 dB)", 0, 0,
     OutOfRange::kAnyValue, 74, 74, "peak-to-floor level band 11 must exceed to be marked"},
    {75, "band_threshold_12", SlotStage::kSuppressor, "level units (about 0.37 dB)", 0, 0,
     OutOfRange::kAnyValue, 75, 75, "peak-to-floor level band 12 must exceed to be marked"},
    {76, "band_threshold_13", SlotStage::kSuppressor, "level units (about 0.37 dB)", 0, 0,
     OutOfRange::kAnyValue, 76, 76, "peak-to-floor level band 13 must exceed to be marked"},
    {77, "mark1_gain", SlotStage::kSuppressor, "Q15", 0, 0, OutOfRange::kAnyValue, 77, 77,
     "gain of the bins of marked bands (32767 = unity)"},
    {78, "mark2_gain", SlotStage::kSuppressor, "Q15", 0, 0, OutOfRange::kAnyValue, 78, 78,
     "gain of the bins of strongly marked bands (more than 10 units above threshold)"},
    {79, "peak_level_min", SlotStage::kSuppressor, "level units", 0, 0, OutOfRange::kAnyValue, 79,
     79, "level a spectral peak must reach to count; 32767 counts every band"},
    {80, "hold_max", SlotStage::kSuppressor, "halves (10 ms)", 0, 0, OutOfRange::kAnyValue, 80, 80,
     "how long marks and peak flags of bands 3..13 are held"},
    {81, "unused_81", SlotStage::kNone, "", 0, 0, OutOfRange::kAnyValue, 81, 81,
     "read, used by nothing"},
    {82, "unused_82", SlotStage::kNone, "", 0, 0, OutOfRange::kAnyValue, 82, 82,
     "read, used by nothing"},
    {83, "unused_83", SlotStage::kNone, "", 0, 0, OutOfRange::kAnyValue, 83, 83,
     "read, used by nothing"},
    {84, "unused_84", SlotStage::kNone, "", 0, 0, OutOfRange::kAnyValue, 84, 84,
     "read, used by nothing"},
}};

// The index of the slot called name; a name that is not in the catalogue does not compile.
consteval int slot_index(std::string_view name) {
  for (const SlotInfo& s : SLOT_CATALOGUE) {
    if (s.name == name) return s.index;
  }
  throw "no tuning slot has this name";
}

// Whether slot k of slots lies in its documented range (always for a slot without one).
constexpr bool slot_in_range(const TuningSlots& slots, int k) {
  return SLOT_CATALOGUE[static_cast<size_t>(k)].in_range(slots[static_cast<size_t>(k)]);
}

// The value of slot k of slots, taken to the nearest bound of its documented range.
constexpr int slot_clamped(const TuningSlots& slots, int k) {
  const SlotInfo& info = SLOT_CATALOGUE[static_cast<size_t>(k)];
  const int v = slots[static_cast<size_t>(k)];
  if (!info.has_range()) return v;
  return v < info.min ? info.min : (v > info.max ? info.max : v);
}

// The index of the slot called name, or -1 (at run time, for names read from files).
int find_slot(std::string_view name);

// The stage's name for messages: its label in the stage table, "all stages" or "none".
std::string_view slot_stage_name(SlotStage stage);

// The bit of the stage mask that switches the stage on, or 0 for kAll and kNone.
int16_t slot_stage_bit(SlotStage stage);

// The documented range as text: "any", "0..800 (outside: pass-through)",
// "0..1300 (outside: slots 4-5 skipped)", "0..18 (outside: step skipped)" or plain "10..100".
std::string slot_range_text(const SlotInfo& slot);

// The README's slot table, one row a slot, generated from the catalogue.
std::string slot_catalogue_markdown();

}  // namespace halvern
