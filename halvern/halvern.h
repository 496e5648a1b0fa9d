// The engine as a library: tunings, a streaming processor and the slot catalogue.
//
//   #include <halvern/halvern.h>
//
//   halvern::Tuning tuning = halvern::Tuning::load("tuning.txt");
//   tuning.set("dyn_makeup_db", 9);
//   halvern::Processor processor(tuning);
//   std::vector<int16_t> out;
//   while (...) processor.process(chunk, &out);  // any chunk size
//   processor.flush(false, &out);                // out == halvern-sim's output, bit for bit
//   tuning.save("tuning.txt");                   // only the changed value is rewritten
//
// Samples are 16 kHz mono signed 16-bit. The header needs nothing but the C++20 standard
// library; link the CMake target halvern::halvern (find_package(halvern)) or pkg-config halvern.
// Every failure throws halvern::Error, whose message names the file, the slot and the fix.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace halvern {

// The library's version, e.g. "1.1.0".
const char* version();

inline constexpr int SLOT_COUNT = 85;      // tuning slots 0 to 84
inline constexpr int FRAME_SAMPLES = 320;  // the engine works on frames of 20 ms
inline constexpr int SAMPLE_RATE = 16000;  // Hz

using Slots = std::array<int16_t, SLOT_COUNT>;

class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// ---------------------------------------------------------------------------------------------
// The slot catalogue

// One tuning slot: what it is called, which stage reads it and what it means.
struct Slot {
  int index;
  std::string_view name;   // as in examples/tuning.txt, e.g. "dyn_makeup_db"
  std::string_view stage;  // "high-pass", "dynamics", "equalizer", "dither",
                           // "peak suppressor", "all stages" (slot 0) or "none"
  std::string_view unit;   // empty for a plain number or a code
  bool has_range;          // false: every 16-bit value is used as it is
  int min;                 // the documented range, both ends included (has_range)
  int max;
  std::string_view out_of_range;  // what a value outside does: "any", "clamped", "skipped",
                                  // "pass-through"
  std::string_view range;         // as text: "0..800 (outside: pass-through)"
  std::string_view meaning;
};

// The 85 slots in order: slot_catalogue()[k].index == k.
std::span<const Slot> slot_catalogue();

// The slot called name, or -1.
int slot_number(std::string_view name);

// A stage mask from a list such as "hp,dyn,eq,sup,dither" or "none" (long names highpass,
// dynamics, equalizer, suppressor work too), as `halvern run --stages` takes it.
int16_t parse_stages(std::string_view list);

// ---------------------------------------------------------------------------------------------
// Tunings

// One finding of the tuning review, as `halvern check` prints it.
struct Finding {
  std::string severity;  // "error", "warning" or "note"
  int64_t line = 0;      // from 1; 0 for a finding about the whole file
  int64_t column = 0;
  int slot = -1;  // the slot concerned, or -1
  std::string message;
  std::string text;  // "path:line:column: severity: message [slot N name]"
};

// The 85 slot values and the text of the file they came from. A tuning loads as halvern-sim
// loads it (a malformed file gives the same slots, and check() says what is wrong).
class Tuning {
 public:
  // Every slot 0, from no file.
  Tuning() = default;
  explicit Tuning(const Slots& slots) : slots_(slots) {}

  // Throws Error naming the file when it cannot be opened or read.
  static Tuning load(const std::string& path);

  // By number or by catalogue name; Error for a slot that does not exist.
  int16_t get(int slot) const;
  int16_t get(std::string_view name) const;
  // Error for a slot that does not exist or a value outside -32768..32767.
  void set(int slot, int value);
  void set(std::string_view name, int value);

  const Slots& slots() const { return slots_; }
  // The file it was loaded from or last saved to (empty for none).
  const std::string& path() const { return path_; }

  // The findings of `halvern check` for the tuning as it stands (the file with the changes
  // made), positions as in the file save() would write.
  std::vector<Finding> check() const;
  // The object `halvern explain --json` prints for it, as JSON text.
  std::string explain_json() const;

  // Writes the tuning to path: the text it was loaded from with only the values that changed
  // rewritten (names, order, white space and comments kept), or one "name value" line a slot for
  // a tuning from no file. The file is replaced whole or not at all (written under a temporary
  // name beside it, then renamed). A changed slot whose value the file does not hold as a number
  // cannot be rewritten: Error, nothing written. The tuning then belongs to path.
  void save(const std::string& path);
  // To path().
  void save();

 private:
  int checked_slot(int slot) const;
  int checked_slot(std::string_view name) const;
  std::string text_to_save() const;

  Slots slots_{};
  std::string path_;
  std::optional<std::string> text_;  // the file's bytes, when loaded or saved
};

// ---------------------------------------------------------------------------------------------
// Processing

// The positions of the chain, in the order the signal passes them.
enum class Position : uint8_t { kInput, kHighPass, kDynamics, kEqualizer, kSuppressor, kDither };
inline constexpr int POSITION_COUNT = 6;

// "input", "highpass", "dynamics", "equalizer", "suppressor", "dither": the names of the
// trace files ("0_input.wav", ...) and of the statistics.
std::string_view position_name(Position position);

inline constexpr int BAND_COUNT = 14;  // bands of the peak suppressor

// The stages' state at the end of a frame: one row of the trace's frames.csv, the same columns.
// A zero gain is -infinity dB (frames.csv writes -999).
struct FrameRow {
  int64_t frame = 0;
  double time_s = 0;
  double dyn_level_db = 0;
  double dyn_gain_db = 0;
  double dyn_makeup_db = 0;
  double comp_level_db = 0;
  double comp_gain_db = 0;
  double limiter_gain_db = 0;
  std::array<int16_t, BAND_COUNT> band_level{};  // level units (about 0.374 dB)
  std::array<int16_t, BAND_COUNT> band_mark{};   // 0, 1 or 2
  std::array<int16_t, BAND_COUNT> band_hold{};   // halves (10 ms)
  std::array<int16_t, BAND_COUNT> band_peak{};   // 0 or 1
  int16_t dither_seed = 0;
  int16_t dither_direction = 0;
};

// Sees inside the chain of a Processor: the frame after every position, and the stages' state
// at the end of each frame. Both are called on the thread that processes.
class Observer {
 public:
  virtual ~Observer() = default;
  // The frame (320 samples, valid during the call) as it stands after position.
  virtual void on_signal(Position position, std::span<const int16_t> frame);
  virtual void on_frame_end(const FrameRow& row);
};

// A stream of samples through one engine, in chunks of any size: the outputs put end to end are
// halvern-sim's output for the whole input, bit for bit. Samples of a frame not yet complete wait
// inside. One Processor is used by one thread at a time; several may run on several threads.
class Processor {
 public:
  // The engine configured from the tuning (copied: later changes to it do not count); stages,
  // when given, replaces slot 0 (see parse_stages). Error when the tuning needs an impossible
  // division (halvern-sim stops on it too).
  explicit Processor(const Tuning& tuning, std::optional<int16_t> stages = std::nullopt);
  ~Processor();
  Processor(Processor&&) noexcept;
  Processor& operator=(Processor&&) noexcept;

  // Appends the processed samples of every frame that in completes (a multiple of 320).
  void process(std::span<const int16_t> in, std::vector<int16_t>* out);
  // The same into out, which has room for output_size(in.size()) samples; returns the count.
  size_t process(std::span<const int16_t> in, int16_t* out);
  size_t output_size(size_t n) const;

  // Ends the stream: the partial frame inside is dropped (pad false, as halvern-sim does) or
  // completed with zeros and processed (pad true: 320 samples more). Then the processor starts
  // afresh, as reset() leaves it.
  void flush(bool pad, std::vector<int16_t>* out);

  // As just built: the engine's state and the waiting samples dropped. The observer stays.
  void reset();

  // Samples by which the enabled stages delay the signal: output sample i + delay() is what
  // input sample i became (the equalizer 46, the peak suppressor 96: 142 with both on). The
  // delay is part of the engine's output; halvern-sim's has it too.
  int delay() const;
  // The most samples that pass between an input sample going in and what it became coming out:
  // 319 (the rest of its frame must arrive first) plus delay(). 461 with every stage on.
  int latency() const;
  size_t buffered() const;  // input samples waiting for their frame
  int64_t frames() const;   // frames processed since the last reset
  int16_t stage_mask() const;

  // Null: none. Not owned; it must outlive its use.
  void set_observer(Observer* observer);

  // The engine's non-fatal arithmetic messages since the last reset() (the first 100; flush()
  // keeps them), which halvern-sim prints among its progress lines.
  std::vector<std::string> messages() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The whole of samples through a new Processor, then flush(pad).
std::vector<int16_t> process(std::span<const int16_t> samples, const Tuning& tuning,
                             std::optional<int16_t> stages = std::nullopt, bool pad = false);

}  // namespace halvern
