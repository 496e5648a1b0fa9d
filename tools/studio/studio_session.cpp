#include "tools/studio/studio_session.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "engine/engine.h"
#include "fixedpoint/diagnostics.h"
#include "tools/io/audio_io.h"
#include "tools/io/safe_file.h"
#include "tools/io/tool_error.h"
#include "tuning/slot_catalogue.h"

namespace halvern::tools {

namespace {

constexpr size_t kRendersKept = 3;  // the saved tuning, the edited one and the one before it

std::string file_name(const std::string& path) {
  return std::filesystem::path(path).filename().string();
}

std::string strip_newlines(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

// The first error of a review, as check prints it, or empty.
std::string first_error(const TuningReview& review) {
  for (const Diagnostic& d : review.diagnostics) {
    if (d.severity == Severity::kError) return format_diagnostic(review.path, d);
  }
  return {};
}

}  // namespace

std::optional<std::string> read_whole_file(const std::string& path) {
  std::error_code error;
  if (std::filesystem::is_directory(path, error)) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream bytes;
  bytes << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return std::move(bytes).str();
}

std::vector<SlotChange> parse_slot_changes(const nlohmann::json& slots) {
  if (!slots.is_object()) {
    throw StudioError(400,
                      "\"slots\" must be an object of slot numbers or names and values, "
                      "e.g. {\"slots\": {\"12\": 6, \"dyn_output_gain_db\": -3}}");
  }
  std::vector<SlotChange> changes;
  for (const auto& [key, value] : slots.items()) {
    int slot = find_slot(key);
    if (slot < 0 && !key.empty() && key.size() <= 2 &&
        std::all_of(key.begin(), key.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      slot = std::stoi(key);
      if (slot >= TUNING_SLOT_COUNT) slot = -1;
    }
    if (slot < 0) {
      throw StudioError(422, "unknown slot '" + key + "': name a slot by its number, 0 to " +
                                 std::to_string(TUNING_SLOT_COUNT - 1) +
                                 ", or by its name in the catalogue (halvern explain lists them)");
    }
    const SlotInfo& info = SLOT_CATALOGUE[static_cast<size_t>(slot)];
    const std::string what = "slot " + std::to_string(slot) + " (" + std::string(info.name) + ")";
    if (!value.is_number_integer()) {
      throw StudioError(422, what + " takes a whole number, not " + value.dump());
    }
    const int lo = info.has_range() ? info.min : INT16_MIN;
    const int hi = info.has_range() ? info.max : INT16_MAX;
    const bool in_range = value.is_number_unsigned()
                              ? value.get<uint64_t>() <= static_cast<uint64_t>(hi)
                              : value.get<int64_t>() >= lo && value.get<int64_t>() <= hi;
    if (!in_range) {
      throw StudioError(422, what + " " + value.dump() + " is outside its range " +
                                 std::to_string(lo) + ".." + std::to_string(hi));
    }
    changes.push_back(SlotChange{slot, static_cast<int16_t>(value.get<int64_t>())});
  }
  return changes;
}

StudioSession::StudioSession(std::string tuning_path, std::vector<int16_t> input, bool allow_errors)
    : path_(std::move(tuning_path)), input_(std::move(input)), allow_errors_(allow_errors) {
  std::optional<std::string> text = read_whole_file(path_);
  if (!text)
    throw StudioError(500, "cannot read the tuning file " + path_ + ": " + std::strerror(errno));
  saved_text_ = std::move(*text);
  saved_slots_ = load_tuning_text(saved_text_);
  history_.push_back(Step{saved_slots_, {}});
  new_revision();
  saved_revision_ = revision_;
}

std::optional<TuningSlots> StudioSession::slots_at(int64_t revision) const {
  const auto it = revisions_.find(revision);
  if (it == revisions_.end()) return std::nullopt;
  return it->second;
}

std::string StudioSession::text_with(const TuningSlots& slots) const {
  try {
    return rewrite_tuning_text(saved_text_, slots);
  } catch (const TuningTextError& e) {
    throw StudioError(422, path_ + ": " + e.what());
  }
}

std::string StudioSession::edited_text() const { return text_with(slots()); }

void StudioSession::new_revision() {
  ++revision_;
  revisions_[revision_] = slots();
  while (revisions_.size() > STUDIO_REVISIONS_KEPT) {
    auto oldest = revisions_.begin();
    if (oldest->first == saved_revision_) ++oldest;  // the saved tuning stays
    revisions_.erase(oldest);
  }
}

void StudioSession::push_step(const TuningSlots& slots, std::string_view gesture) {
  history_.resize(at_ + 1);
  history_.push_back(Step{slots, std::string(gesture)});
  ++at_;
  while (history_.size() > STUDIO_UNDO_STEPS + 1) {
    history_.pop_front();
    --at_;
  }
}

int64_t StudioSession::edit(const std::vector<SlotChange>& changes, std::string_view gesture) {
  TuningSlots next = slots();
  for (const SlotChange& c : changes) {
    if (c.slot < 0 || c.slot >= TUNING_SLOT_COUNT) {
      throw StudioError(422, "unknown slot " + std::to_string(c.slot));
    }
    next[static_cast<size_t>(c.slot)] = c.value;
  }
  if (next == slots()) return revision_;
  const std::string text = text_with(next);  // refuses a slot the file holds no value for
  auto engine = std::make_unique<Engine>();
  engine_reset(engine.get());
  engine_set_stage_mask(engine.get(), next[STAGE_MASK_SLOT]);
  try {
    engine_configure(engine.get(), next);
  } catch (const ArithmeticFault& fault) {
    const std::string why = first_error(review_tuning_text(path_, text));
    throw StudioError(422, "the engine cannot run this tuning: " +
                               (why.empty() ? strip_newlines(fault.what()) : why));
  }
  const bool amend =
      !gesture.empty() && at_ > 0 && at_ + 1 == history_.size() && history_[at_].gesture == gesture;
  if (amend) {
    history_[at_].slots = next;
  } else {
    push_step(next, gesture);
  }
  new_revision();
  return revision_;
}

int64_t StudioSession::undo() {
  if (!can_undo()) return revision_;
  --at_;
  history_[at_].gesture.clear();
  new_revision();
  return revision_;
}

int64_t StudioSession::redo() {
  if (!can_redo()) return revision_;
  ++at_;
  history_[at_].gesture.clear();
  new_revision();
  return revision_;
}

int StudioSession::save() {
  const std::string name = file_name(path_);
  const std::optional<std::string> disk = read_whole_file(path_);
  if (!disk) {
    throw StudioError(409, name + " can no longer be read on disk (" + std::strerror(errno) +
                               "): it was moved or removed since it was loaded; nothing was saved");
  }
  if (*disk != saved_text_) {
    throw StudioError(409, name +
                               " changed on disk since it was loaded: saving would overwrite "
                               "that change. Reload it (your edits stay one undo step back), then "
                               "save again");
  }
  const std::string text = edited_text();
  if (load_tuning_text(text) != slots()) {
    throw StudioError(500, "the rewritten text of " + name +
                               " does not load as the edited slots; "
                               "nothing was saved");
  }
  int changed = 0;
  for (int k = 0; k < TUNING_SLOT_COUNT; ++k)
    changed += slots()[static_cast<size_t>(k)] != saved_slots_[static_cast<size_t>(k)];
  if (changed > 0) {
    // Through a link, the file it points to is replaced, and the link stays.
    std::error_code error;
    const std::filesystem::path target = std::filesystem::canonical(path_, error);
    try {
      write_text_file(error ? path_ : target.string(), text);
    } catch (const ToolError& e) {
      throw StudioError(500, e.what());
    }
  }
  saved_text_ = text;
  saved_slots_ = slots();
  saved_revision_ = revision_;
  refused_ = false;
  return changed;
}

DiskCheck StudioSession::check_disk(bool force) {
  DiskCheck check;
  const std::string name = file_name(path_);
  const std::optional<std::string> disk = read_whole_file(path_);
  if (!disk) {
    check.state = DiskState::kMissing;
    check.message = name +
                    " can no longer be read on disk: it was moved or removed; the studio "
                    "keeps the tuning it has, and loads the file when it is back";
    return check;
  }
  if (*disk == saved_text_ && !force) return check;
  check.state = DiskState::kChanged;
  if (refused_ && *disk == refused_text_ && !force) {
    check.message = refused_message_;
    return check;
  }
  const TuningReview review = review_tuning_text(path_, *disk);
  const int errors = review.count(Severity::kError);
  if (!review.readable || (errors > 0 && !allow_errors_)) {
    refused_ = true;
    refused_text_ = *disk;
    refused_message_ = name + " changed on disk, but it was not loaded: " + std::to_string(errors) +
                       (errors == 1 ? " error" : " errors") + " of halvern check (" +
                       first_error(review) + "); the studio keeps the tuning it has";
    check.message = refused_message_;
    return check;
  }
  const bool edited = slots() != saved_slots_;
  refused_ = false;
  saved_text_ = *disk;
  saved_slots_ = review.slots;
  if (slots() != saved_slots_) push_step(saved_slots_, {});
  new_revision();
  saved_revision_ = revision_;
  check.loaded = true;
  check.message = name + (force ? " reloaded from disk" : " changed on disk and was loaded") +
                  (edited ? ": your edits are one undo step back" : "");
  return check;
}

std::string StudioSession::text_at(int64_t revision) const {
  const std::optional<TuningSlots> slots = slots_at(revision);
  if (!slots) throw StudioError(404, "revision " + std::to_string(revision) + " is not known");
  return text_with(*slots);
}

std::shared_ptr<const JobResult> RenderCache::run(const TuningSlots& slots) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto hit =
        std::find_if(runs_.begin(), runs_.end(), [&](const auto& r) { return r.first == slots; });
    if (hit != runs_.end()) {
      runs_.splice(runs_.begin(), runs_, hit);
      return runs_.front().second;
    }
  }
  JobOptions options;
  options.keep_signals = true;
  options.keep_frames = true;
  auto run = std::make_shared<JobResult>();
  try {
    *run = run_job(input_, slots, options);
  } catch (const ArithmeticFault& fault) {
    throw StudioError(422, "the engine stops with this tuning: " + strip_newlines(fault.what()));
  }
  std::lock_guard<std::mutex> lock(mutex_);
  runs_.emplace_front(slots, run);
  if (runs_.size() > kRendersKept) runs_.pop_back();
  return run;
}

}  // namespace halvern::tools
