#include "tuning/slot_catalogue.h"

namespace halvern {

int find_slot(std::string_view name) {
  for (const SlotInfo& s : SLOT_CATALOGUE) {
    if (s.name == name) return s.index;
  }
  return -1;
}

std::string_view slot_stage_name(SlotStage stage) {
  if (stage == SlotStage::kAll) return "all stages";
  const StageInfo* info = find_stage(stage);
  return info != nullptr ? info->label : "none";
}

int16_t slot_stage_bit(SlotStage stage) {
  const StageInfo* info = find_stage(stage);
  return info != nullptr ? info->bit : 0;
}

std::string slot_range_text(const SlotInfo& slot) {
  if (!slot.has_range()) return "any";
  std::string text = std::to_string(slot.min) + ".." + std::to_string(slot.max);
  switch (slot.out_of_range) {
    case OutOfRange::kPassThrough: return text + " (outside: pass-through)";
    case OutOfRange::kSkipped:
      if (slot.group_first == slot.group_last) return text + " (outside: step skipped)";
      return text + " (outside: slots " + std::to_string(slot.group_first) + "-" +
             std::to_string(slot.group_last) + " skipped)";
    case OutOfRange::kClamped:
    case OutOfRange::kAnyValue: break;
  }
  return text;
}

std::string slot_catalogue_markdown() {
  std::string table = "| Slot | Name | Stage | Unit | Range | Sets |\n|---|---|---|---|---|---|\n";
  for (const SlotInfo& s : SLOT_CATALOGUE) {
    table += "| " + std::to_string(s.index) + " | `" + std::string(s.name) + "` | " +
             std::string(slot_stage_name(s.stage)) + " | " + std::string(s.unit) + " | " +
             slot_range_text(s) + " | " + std::string(s.meaning) + " |\n";
  }
  return table;
}

}  // namespace halvern
