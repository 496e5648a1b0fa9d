// Rewriting values in the text of a tuning file, keeping every other byte: names, their order,
// white space, line ends, comments and anything else the file holds. The text goes through the
// loader (tuning_load with a listener), so the token rewritten for slot n is exactly the one the
// engine reads into slot n, whatever the file looks like.
//
// This interface is used by the tuning editors of the toolkit (the studio, the library's
// Tuning::save); keep it stable: add overloads rather than change these.
#pragma once

#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

#include "tuning/tuning.h"

namespace halvern {

// A new value for one slot.
struct SlotChange {
  int slot = 0;  // 0 to TUNING_SLOT_COUNT - 1
  int16_t value = 0;
};

// A change that cannot be made. what() names the slot, where the file is at fault and the fix; it
// names no file (the caller knows the path and puts it in front).
class TuningTextError : public std::runtime_error {
 public:
  TuningTextError(int slot, const std::string& message)
      : std::runtime_error(message), slot_(slot) {}
  int slot() const { return slot_; }  // the slot concerned, -1 for none

 private:
  int slot_;
};

// The text with the value token of every changed slot replaced by the new value in plain decimal
// ("-12", "300"); every other byte is kept. A value that already loads as the new value keeps its
// token as written ("0012" stays "0012" when the change is to 12). Loading the result gives the
// slots of the text with the changes made, and nothing else differs.
//
// A slot whose value the loader does not read as a number (the file ends before it, or its value
// token is a word, or a sign without digits) has no token to rewrite: the whole call is refused
// with TuningTextError, and nothing is guessed (appending a pair or replacing a word could shift
// every later slot). The fix is to repair the file first (`halvern check` says how). A slot out of
// 0..84 is refused the same way. When two changes name one slot, the last one counts.
std::string rewrite_tuning_text(std::string_view text, std::span<const SlotChange> changes);

// The same for every slot of slots that differs from what text loads.
std::string rewrite_tuning_text(std::string_view text, const TuningSlots& slots);

// The slots that text loads, as tuning_load reads a file holding exactly these bytes, telling
// listener (when not null) as tuning_load tells it.
TuningSlots load_tuning_text(std::string_view text, TuningListener* listener = nullptr);

}  // namespace halvern
