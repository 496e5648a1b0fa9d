// The 85 tuning values and the loader of the tuning file.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "tuning/stage_table.h"

namespace halvern {

inline constexpr int TUNING_SLOT_COUNT = 85;

// Slot n holds the n-th value of the tuning file; slot 0 is the stage mask.
using TuningSlots = std::array<int16_t, TUNING_SLOT_COUNT>;

inline constexpr int STAGE_MASK_SLOT = 0;

// Reads 85 pairs of a name token and a decimal integer from f, the way fscanf(f, "%s %d") reads
// them one pair at a time. Names are skipped, whatever their length. A value keeps the low 16
// bits of its exact decimal value, read as signed. A missing or malformed value leaves its slot
// at 0 and the token that stopped it becomes the next name. Every slot starts at 0.
// Returns false when reading failed for another reason than the end of the file (the slots read
// until then are kept).
bool tuning_load(std::FILE* f, TuningSlots* slots);

// Where a token starts: line and column from 1 (a column counts bytes), the byte offset from 0,
// and the index of the white-space-separated word it starts in (from 0; a name glued to the
// digits before it, as in "12abc", lies in the same word as they do).
struct TuningPosition {
  int64_t line = 1;
  int64_t column = 1;
  int64_t offset = 0;
  int64_t word = 0;
};

// How the value read of a pair ended.
enum class TuningValueRead : uint8_t {
  kNumber,      // digits were read
  kNotANumber,  // the next token is no number (a sign alone is consumed); it becomes the next name
  kEndOfFile,   // the file ended before a value
};

// The longest prefix of a token kept for the listener; longer tokens are skipped as usual.
inline constexpr size_t TUNING_TEXT_KEPT = 64;

// What the loader read for one pair. The texts are valid only during the call.
struct TuningPairRead {
  int slot = 0;
  TuningPosition name;         // where the name token starts
  int64_t name_length = 0;     // bytes of the name token
  std::string_view name_text;  // its first TUNING_TEXT_KEPT bytes at most
  TuningValueRead value_read = TuningValueRead::kEndOfFile;
  TuningPosition value;         // where the value token starts (kEndOfFile: the end of the file)
  int64_t value_end = 0;        // kNumber: the offset just after the last digit
  std::string_view value_text;  // kNumber: the sign and digits, TUNING_TEXT_KEPT bytes at most;
                                // kNotANumber: the sign consumed, if any
  int64_t digits = 0;           // kNumber: how many digits, leading zeros included
  bool exact_known = false;     // kNumber: whether the number fits 64 bits, in exact
  int64_t exact = 0;
  int16_t slot_value = 0;  // what the slot holds after this read
};

// The end of the loading.
struct TuningLoadEnd {
  int pairs = 0;            // pairs whose name was read (85 at most)
  TuningPosition end;       // where reading stopped
  bool failed = false;      // a read error (other than the end of the file)
  bool more_after = false;  // 85 pairs were read and another token follows (ignored)
  TuningPosition next;      // where that token starts
};

// Told what the loader reads, for tools that report positions.
class TuningListener {
 public:
  virtual ~TuningListener() = default;
  virtual void on_pair(const TuningPairRead& pair) = 0;
  virtual void on_end(const TuningLoadEnd& end) = 0;
};

// tuning_load, telling listener about every pair and the end. The slots are exactly those of
// tuning_load; the only extra read is one look past the 85th pair for a token that follows.
bool tuning_load(std::FILE* f, TuningSlots* slots, TuningListener* listener);

}  // namespace halvern
