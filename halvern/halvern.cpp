#include "halvern/halvern.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>

#include "engine/stream.h"
#include "fixedpoint/diagnostics.h"
#include "tools/io/audio_io.h"
#include "tools/io/safe_file.h"
#include "tools/review/tuning_review.h"
#include "tools/running/frame_state.h"
#include "tools/running/run_job.h"
#include "tuning/slot_catalogue.h"
#include "tuning/tuning_text.h"

namespace halvern {

static_assert(SLOT_COUNT == TUNING_SLOT_COUNT && FRAME_SAMPLES == FRAME_LENGTH &&
              POSITION_COUNT == CHAIN_POSITION_COUNT &&
              BAND_COUNT == static_cast<int>(SUPPRESSOR_BAND_COUNT) &&
              SAMPLE_RATE == tools::ENGINE_SAMPLE_RATE);

const char* version() { return HALVERN_VERSION; }

namespace {

std::string_view out_of_range_name(OutOfRange o) {
  switch (o) {
    case OutOfRange::kAnyValue: return "any";
    case OutOfRange::kClamped: return "clamped";
    case OutOfRange::kSkipped: return "skipped";
    case OutOfRange::kPassThrough: return "pass-through";
  }
  return "?";
}

// The catalogue in the public form, made once; its texts live as long as the program.
struct PublicCatalogue {
  std::array<std::string, SLOT_COUNT> ranges;
  std::array<Slot, SLOT_COUNT> slots;

  PublicCatalogue() {
    for (size_t k = 0; k < SLOT_COUNT; ++k) {
      const SlotInfo& s = SLOT_CATALOGUE[k];
      ranges[k] = slot_range_text(s);
      slots[k] = Slot{s.index, s.name, slot_stage_name(s.stage),          s.unit,    s.has_range(),
                      s.min,   s.max,  out_of_range_name(s.out_of_range), ranges[k], s.meaning};
    }
  }
};

std::string file_error(const std::string& path, const char* what) {
  return "cannot " + std::string(what) + " tuning file " + path + ": " + std::strerror(errno);
}

// The whole of the file at path.
std::string read_file(const std::string& path) {
  std::error_code error;
  if (std::filesystem::is_directory(path, error)) {
    throw Error(path + " is a directory, not a tuning file");
  }
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) throw Error(file_error(path, "open"));
  std::string text;
  char block[1 << 16];
  size_t n;
  while ((n = std::fread(block, 1, sizeof block, f)) > 0) text.append(block, n);
  const bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) throw Error(file_error(path, "read"));
  return text;
}

std::string fresh_text(const Slots& slots) {
  std::string text;
  for (const SlotInfo& s : SLOT_CATALOGUE) {
    text += std::string(s.name) + " " + std::to_string(slots[static_cast<size_t>(s.index)]) + "\n";
  }
  return text;
}

Finding public_finding(const std::string& path, const tools::Diagnostic& d) {
  static constexpr const char* kSeverity[] = {"error", "warning", "note"};
  return Finding{kSeverity[static_cast<int>(d.severity)], d.line, d.column, d.slot, d.message,
                 tools::format_diagnostic(path, d)};
}

FrameRow frame_row(const tools::FrameState& s) {
  FrameRow r;
  r.frame = s.frame;
  r.time_s = static_cast<double>(s.frame) * 0.02;  // as frames.csv
  r.dyn_level_db = tools::q7_db(s.dyn_level);
  r.dyn_gain_db = tools::q15_db(s.dyn_gain);
  r.dyn_makeup_db = tools::q11_db(s.dyn_makeup);
  r.comp_level_db = tools::q7_db(s.comp_level);
  r.comp_gain_db = tools::q15_db(s.comp_gain);
  r.limiter_gain_db = tools::q15_db(s.limiter_gain);
  r.band_level = s.band_level;
  r.band_mark = s.band_mark;
  r.band_hold = s.band_hold;
  r.band_peak = s.peak_flag;
  r.dither_seed = s.dither_seed;
  r.dither_direction = s.dither_direction;
  return r;
}

// The engine's taps, passed on to a public observer.
class ObserverBridge : public EngineObserver {
 public:
  Observer* observer = nullptr;
  int64_t frame = 0;

  void on_signal(ChainPosition position, const int16_t* samples, int n) override {
    observer->on_signal(static_cast<Position>(position),
                        std::span<const int16_t>(samples, static_cast<size_t>(n)));
  }
  void on_frame_end(const Engine& engine) override {
    observer->on_frame_end(frame_row(tools::capture_frame_state(engine, frame++)));
  }
};

constexpr size_t kMessagesKept = 100;

std::string fault_text(const ArithmeticFault& fault) {
  std::string message = fault.what();
  while (!message.empty() && message.back() == '\n') message.pop_back();
  return message;
}

}  // namespace

std::span<const Slot> slot_catalogue() {
  static const PublicCatalogue catalogue;
  return catalogue.slots;
}

int slot_number(std::string_view name) { return find_slot(name); }

int16_t parse_stages(std::string_view list) {
  try {
    return tools::parse_stage_list(list);
  } catch (const std::invalid_argument& e) {
    std::string message = e.what();
    const size_t at = message.find(" in --stages");
    if (at != std::string::npos) message.erase(at, 12);
    throw Error(message);
  }
}

// ---------------------------------------------------------------------------------------------

Tuning Tuning::load(const std::string& path) {
  Tuning tuning;
  tuning.text_ = read_file(path);
  tuning.slots_ = load_tuning_text(*tuning.text_);
  tuning.path_ = path;
  return tuning;
}

int Tuning::checked_slot(int slot) const {
  if (slot < 0 || slot >= SLOT_COUNT) {
    throw Error("there is no slot " + std::to_string(slot) + ": slots are 0 to " +
                std::to_string(SLOT_COUNT - 1));
  }
  return slot;
}

int Tuning::checked_slot(std::string_view name) const {
  const int slot = find_slot(name);
  if (slot < 0) {
    throw Error("no tuning slot is called '" + std::string(name) +
                "': the names are those of examples/tuning.txt (halvern explain lists them)");
  }
  return slot;
}

int16_t Tuning::get(int slot) const { return slots_[static_cast<size_t>(checked_slot(slot))]; }
int16_t Tuning::get(std::string_view name) const {
  return slots_[static_cast<size_t>(checked_slot(name))];
}

void Tuning::set(int slot, int value) {
  const int k = checked_slot(slot);
  if (value < std::numeric_limits<int16_t>::min() || value > std::numeric_limits<int16_t>::max()) {
    throw Error("the value " + std::to_string(value) + " for slot " + std::to_string(k) + " (" +
                std::string(SLOT_CATALOGUE[static_cast<size_t>(k)].name) +
                ") is outside -32768..32767, which a slot holds");
  }
  slots_[static_cast<size_t>(k)] = static_cast<int16_t>(value);
}

void Tuning::set(std::string_view name, int value) { set(checked_slot(name), value); }

std::string Tuning::text_to_save() const {
  return text_ ? rewrite_tuning_text(*text_, slots_) : fresh_text(slots_);
}

std::vector<Finding> Tuning::check() const {
  const std::string path = path_.empty() ? "(tuning)" : path_;
  std::vector<Finding> findings;
  std::string text;
  try {
    text = text_to_save();
  } catch (const TuningTextError& e) {
    // A change that save() refuses: the file as it is, and why.
    text = *text_;
    tools::Diagnostic d{tools::Severity::kError, 0, 0, e.slot(),
                        std::string("the tuning cannot be saved: ") + e.what()};
    findings.push_back(public_finding(path, d));
  }
  const tools::TuningReview review = tools::review_tuning_text(path, text);
  for (const tools::Diagnostic& d : review.diagnostics) findings.push_back(public_finding(path, d));
  return findings;
}

std::string Tuning::explain_json() const {
  const std::string path = path_.empty() ? "(tuning)" : path_;
  std::string text;
  try {
    text = text_to_save();
  } catch (const TuningTextError&) {
    text = *text_;  // check() tells why
  }
  return tools::explain_json(tools::review_tuning_text(path, text))
      .dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

void Tuning::save(const std::string& path) {
  std::string text;
  try {
    text = text_to_save();
  } catch (const TuningTextError& e) {
    throw Error("cannot save " + path + ": " + e.what());
  }
  try {
    tools::write_text_file(path, text);
  } catch (const tools::ToolError& e) {
    throw Error(e.what());
  }
  path_ = path;
  text_ = std::move(text);
}

void Tuning::save() {
  if (path_.empty()) throw Error("this tuning has no file yet: save it with a path");
  save(path_);
}

// ---------------------------------------------------------------------------------------------

std::string_view position_name(Position position) {
  return tools::position_name(static_cast<ChainPosition>(position));
}

void Observer::on_signal(Position, std::span<const int16_t>) {}
void Observer::on_frame_end(const FrameRow&) {}

struct Processor::Impl {
  explicit Impl(const Tuning& tuning, std::optional<int16_t> stages)
      : stream(tuning.slots(), stages) {
    stream.set_diagnostics(&Impl::keep_message, this);
  }

  static void keep_message(void* user, const char* message) {
    auto* impl = static_cast<Impl*>(user);
    if (impl->messages.size() < kMessagesKept) impl->messages.emplace_back(message);
  }

  [[noreturn]] void stopped(const ArithmeticFault& fault) const {
    throw Error("the engine stopped after " + std::to_string(stream.frames()) +
                " frames: " + fault_text(fault) + "; reset() the processor to use it again");
  }

  void reset() {
    stream.reset();
    bridge.frame = 0;
    messages.clear();
  }

  EngineStream stream;
  ObserverBridge bridge;
  std::vector<std::string> messages;
};

Processor::Processor(const Tuning& tuning, std::optional<int16_t> stages) {
  try {
    impl_ = std::make_unique<Impl>(tuning, stages);
  } catch (const ArithmeticFault& fault) {
    throw Error("the tuning" + (tuning.path().empty() ? "" : " " + tuning.path()) +
                " stops the engine: " + fault_text(fault) + " (halvern check tells why)");
  }
}

Processor::~Processor() = default;
Processor::Processor(Processor&&) noexcept = default;
Processor& Processor::operator=(Processor&&) noexcept = default;

size_t Processor::output_size(size_t n) const { return impl_->stream.output_size(n); }

size_t Processor::process(std::span<const int16_t> in, int16_t* out) {
  try {
    return impl_->stream.process(in.data(), in.size(), out);
  } catch (const ArithmeticFault& fault) {
    impl_->stopped(fault);
  } catch (const std::logic_error& e) {
    throw Error(e.what());
  }
}

void Processor::process(std::span<const int16_t> in, std::vector<int16_t>* out) {
  const size_t at = out->size();
  out->resize(at + output_size(in.size()));
  process(in, out->data() + at);
}

void Processor::flush(bool pad, std::vector<int16_t>* out) {
  try {
    impl_->stream.flush(pad, out);
  } catch (const ArithmeticFault& fault) {
    impl_->stopped(fault);
  } catch (const std::logic_error& e) {
    throw Error(e.what());
  }
  impl_->bridge.frame = 0;
}

void Processor::reset() { impl_->reset(); }

int Processor::delay() const { return impl_->stream.delay(); }
int Processor::latency() const { return impl_->stream.latency(); }
size_t Processor::buffered() const { return impl_->stream.buffered(); }
int64_t Processor::frames() const { return impl_->stream.frames(); }
int16_t Processor::stage_mask() const { return impl_->stream.stage_mask(); }

void Processor::set_observer(Observer* observer) {
  impl_->bridge.observer = observer;
  impl_->stream.set_observer(observer == nullptr ? nullptr : &impl_->bridge);
}

std::vector<std::string> Processor::messages() const { return impl_->messages; }

std::vector<int16_t> process(std::span<const int16_t> samples, const Tuning& tuning,
                             std::optional<int16_t> stages, bool pad) {
  Processor processor(tuning, stages);
  std::vector<int16_t> out;
  out.reserve(samples.size() + FRAME_SAMPLES);
  processor.process(samples, &out);
  processor.flush(pad, &out);
  return out;
}

}  // namespace halvern
