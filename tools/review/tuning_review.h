// The review of a tuning file: what the loader read where, what every slot does once the engine
// is configured, and the findings. `halvern check` prints the findings, `halvern explain` the
// slots and the derived settings of each stage. The file goes through the program's own loader
// (with a listener for positions) and the engine's own configure step; nothing here parses the
// file or derives a setting a second way.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "tuning/tuning.h"

namespace halvern::tools {

enum class Severity : uint8_t { kError, kWarning, kNote };

// One finding, in the form compilers use: path:line:column: severity: message [slot N name].
struct Diagnostic {
  Severity severity = Severity::kError;
  int64_t line = 0;  // 0: about the whole file (no position)
  int64_t column = 0;
  int slot = -1;  // the slot it is about, or -1
  std::string message;
};

// Slot statuses, as printed and in JSON.
inline constexpr const char* STATUS_OK = "ok";
inline constexpr const char* STATUS_CLAMPED = "clamped";
inline constexpr const char* STATUS_SKIPPED = "skipped";
inline constexpr const char* STATUS_PASS_THROUGH = "pass-through";
inline constexpr const char* STATUS_STAGE_OFF = "stage off";
inline constexpr const char* STATUS_UNUSED = "unused";
inline constexpr const char* STATUS_FATAL = "error";  // takes part in an error that ends the run

// One slot as the file sets it and the engine takes it.
struct SlotReview {
  std::optional<std::string> file_name;  // the name token, printable (null when not read)
  int64_t line = 0;                      // where its value was read (or was missing); 0: not read
  int64_t column = 0;
  int16_t value = 0;             // what the loader gives (what halvern-sim uses)
  std::optional<int> effective;  // what the stage takes, null when skipped or unused
  std::string status = STATUS_OK;
};

// A derived setting of a stage, read back from its configured context: its JSON value and the
// same in words for the table. An empty key makes a line of the table only (one band of the
// suppressor), an empty text a JSON value only (the array of the bands).
struct DerivedSetting {
  std::string key;
  nlohmann::json value;
  std::string text;
};

struct StageReview {
  std::string key;   // the stage table's trace_name
  std::string name;  // the stage table's label
  bool enabled = false;
  std::vector<DerivedSetting> settings;  // empty when the stage is off
};

struct TuningReview {
  std::string path;
  bool readable = false;    // the file was opened and read to its end
  bool configured = false;  // the engine's configure step ran through
  TuningSlots slots{};
  std::array<SlotReview, TUNING_SLOT_COUNT> slot_reviews;
  std::vector<StageReview> stages;  // every stage, settings only when configured
  std::vector<Diagnostic> diagnostics;

  int count(Severity severity) const;
};

// Loads and configures the tuning file at path, never touching any audio.
TuningReview review_tuning(const std::string& path);

// The same for text, reviewed as the bytes of a tuning file at path (which is not read): a tuning
// being edited, before it is saved.
TuningReview review_tuning_text(const std::string& path, std::string_view text);

// "path:line:column: warning: message [slot N name]" (no position for a whole-file finding).
std::string format_diagnostic(const std::string& path, const Diagnostic& d);

// The slot table and the derived settings, as `halvern explain` prints them.
std::string explain_text(const TuningReview& review);

// The same as one JSON object: path, slots, stages, diagnostics.
nlohmann::json explain_json(const TuningReview& review);

}  // namespace halvern::tools
