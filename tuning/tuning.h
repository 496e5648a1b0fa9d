// The 85 tuning values and the loader of the tuning file.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>

namespace halvern {

inline constexpr int TUNING_SLOT_COUNT = 85;

// Slot n holds the n-th value of the tuning file; slot 0 is the stage mask.
using TuningSlots = std::array<int16_t, TUNING_SLOT_COUNT>;

inline constexpr int STAGE_MASK_SLOT = 0;

// Stage mask bits (slot 0). Bits 5 to 15 are ignored.
inline constexpr int16_t STAGE_BIT_HIGHPASS = 1 << 0;
inline constexpr int16_t STAGE_BIT_DYNAMICS = 1 << 1;
inline constexpr int16_t STAGE_BIT_EQUALIZER = 1 << 2;
inline constexpr int16_t STAGE_BIT_DITHER = 1 << 3;
inline constexpr int16_t STAGE_BIT_SUPPRESSOR = 1 << 4;

// Reads 85 pairs of a name token and a decimal integer from f, the way fscanf(f, "%s %d") reads
// them one pair at a time. Names are skipped, whatever their length. A value keeps the low 16
// bits of its exact decimal value, read as signed. A missing or malformed value leaves its slot
// at 0 and the token that stopped it becomes the next name. Every slot starts at 0.
// Returns false when reading failed for another reason than the end of the file (the slots read
// until then are kept).
bool tuning_load(std::FILE* f, TuningSlots* slots);

}  // namespace halvern
