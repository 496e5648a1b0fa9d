// The state of one `halvern studio` session: the recording, the tuning file as loaded or saved,
// the edited slots with their undo history, and a number for every state (the revision) so that
// a client can ask for the audio of exactly the tuning it shows. Plain, single-threaded and free
// of HTTP: the server calls it under one lock, and tests call it directly.
//
// Revisions count up from 1 (the file as loaded) with every change of the edited slots: an edit,
// an undo or redo, and a reload of the file. The file itself is read and written only through
// the path given at construction; nothing a client sends names a file.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "tools/review/tuning_review.h"
#include "tools/running/run_job.h"
#include "tuning/tuning.h"
#include "tuning/tuning_text.h"

namespace halvern::tools {

// A request the session refuses, with the HTTP status that says why: 400 a malformed request,
// 404 something that does not exist (a revision no longer kept), 409 the file changed on disk,
// 422 a slot or value that cannot be taken, 500 a failure to read or write the file.
class StudioError : public std::runtime_error {
 public:
  StudioError(int status, const std::string& message)
      : std::runtime_error(message), status_(status) {}
  int status() const { return status_; }

 private:
  int status_;
};

// At least this many undo steps are kept (older ones are dropped).
inline constexpr size_t STUDIO_UNDO_STEPS = 200;
// The slots of this many recent revisions are kept for audio requests.
inline constexpr size_t STUDIO_REVISIONS_KEPT = 2048;

// The slot changes of a request's "slots" object: keys are slot numbers ("12") or catalogue names
// ("dyn_makeup_db"), values whole numbers within the slot's documented range (any 16-bit value
// for a slot without one). Throws StudioError 422 naming the first key or value at fault.
std::vector<SlotChange> parse_slot_changes(const nlohmann::json& slots);

// What happened to the file on disk since it was loaded or saved.
enum class DiskState : uint8_t {
  kSame,     // the text loaded or saved last
  kChanged,  // another text
  kMissing,  // the file cannot be read
};

// The result of looking at the file on disk.
struct DiskCheck {
  DiskState state = DiskState::kSame;
  bool loaded = false;  // the changed file became the saved tuning (a new revision)
  std::string message;  // for the user: what changed and what was done
};

class StudioSession {
 public:
  // Loads the tuning file at tuning_path (throws StudioError 500 when it cannot be read); input
  // is the recording as the engine takes it. A changed file on disk with errors of `halvern
  // check` is loaded only with allow_errors.
  StudioSession(std::string tuning_path, std::vector<int16_t> input, bool allow_errors);

  const std::string& tuning_path() const { return path_; }
  const std::vector<int16_t>& input() const { return input_; }

  int64_t revision() const { return revision_; }
  // A revision whose slots are those of the file as loaded or saved last.
  int64_t saved_revision() const { return saved_revision_; }
  const TuningSlots& slots() const { return history_[at_].slots; }
  const TuningSlots& saved_slots() const { return saved_slots_; }
  // The slots of a revision, or nullopt when it never existed or is no longer kept.
  std::optional<TuningSlots> slots_at(int64_t revision) const;
  // The text the edits would be saved as: the file's text with the changed values rewritten.
  std::string edited_text() const;
  const std::string& saved_text() const { return saved_text_; }

  bool can_undo() const { return at_ > 0; }
  bool can_redo() const { return at_ + 1 < history_.size(); }
  size_t undo_steps() const { return at_; }
  size_t redo_steps() const { return history_.size() - 1 - at_; }

  // Sets slots. Consecutive edits with the same non-empty gesture (one drag of a control) make
  // one undo step. Throws StudioError 422 when the engine cannot be configured with the result,
  // or the file has no value token to rewrite for a slot. Returns the revision, unchanged when
  // no value changes.
  int64_t edit(const std::vector<SlotChange>& changes, std::string_view gesture = {});
  // Steps back or forward in the history; a step that does not exist changes nothing.
  int64_t undo();
  int64_t redo();

  // Writes the edited slots to the file, atomically, rewriting only the values that changed.
  // Throws StudioError 409 when the file changed on disk since it was loaded or saved, 422 when a
  // value cannot be rewritten, 500 when the file cannot be written. Returns the slots saved.
  int save();

  // Looks at the file on disk; a text that changed is loaded as the saved tuning (the edits
  // before it stay one undo step back), unless it cannot be used. A text that was refused once
  // is not tried again until it changes. force loads the file even when it is the same text.
  DiskCheck check_disk(bool force = false);

  // The text the tuning of revision would be saved as (the file's text with its values), for the
  // review of `halvern check` and `explain`. Throws StudioError 404 for an unknown revision.
  std::string text_at(int64_t revision) const;

 private:
  struct Step {
    TuningSlots slots;
    std::string gesture;  // the drag that made it; empty for any other step
  };
  void push_step(const TuningSlots& slots, std::string_view gesture);
  void new_revision();
  std::string text_with(const TuningSlots& slots) const;

  std::string path_;
  std::vector<int16_t> input_;
  bool allow_errors_;

  std::string saved_text_;  // the file's bytes as loaded or saved last
  TuningSlots saved_slots_{};
  int64_t revision_ = 0;
  int64_t saved_revision_ = 0;
  std::deque<Step> history_;
  size_t at_ = 0;
  std::map<int64_t, TuningSlots> revisions_;
  std::string refused_text_;     // a changed file that could not be loaded
  std::string refused_message_;  // and why
  bool refused_ = false;
};

// The runs of the engine over the recording for the last few tunings asked for (the saved one,
// the edited one and the one before). Safe to call from several threads: the engine runs outside
// the lock.
class RenderCache {
 public:
  explicit RenderCache(const std::vector<int16_t>& input) : input_(input) {}
  // Every position of the chain and the state of every frame; throws StudioError 422 when the
  // engine stops.
  std::shared_ptr<const JobResult> run(const TuningSlots& slots);

 private:
  const std::vector<int16_t>& input_;
  std::mutex mutex_;
  std::list<std::pair<TuningSlots, std::shared_ptr<const JobResult>>> runs_;  // most recent first
};

// Bytes of a file, or nullopt when it cannot be read.
std::optional<std::string> read_whole_file(const std::string& path);

}  // namespace halvern::tools
