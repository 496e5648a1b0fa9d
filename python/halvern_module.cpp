// The Python module halvern: tunings, the engine on numpy int16 arrays (whole or streaming), a
// run with the trace and the statistics of `halvern run`, and the toolkit's audio files. The
// engine runs with the GIL released, so threads with their own processors run in parallel.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "fixedpoint/diagnostics.h"
#include "halvern/halvern.h"
#include "tools/io/audio_io.h"
#include "tools/running/frame_state.h"
#include "tools/running/run_job.h"
#include "tools/running/stats.h"

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

using halvern::Tuning;

// ---------------------------------------------------------------------------------------------
// Samples in and out

std::string type_name(const py::handle& obj) {
  return py::str(py::type::handle_of(obj).attr("__name__"));
}

// The samples of obj as a contiguous int16 array, refusing anything that would need a cast: a
// bit-exact engine must not round 0.5 to 0 behind the caller's back.
py::array_t<int16_t, py::array::c_style> int16_samples(const py::handle& obj) {
  if (!py::isinstance<py::array>(obj)) {
    throw py::type_error("samples must be a numpy array of int16, not " + type_name(obj) +
                         ": convert with numpy.asarray(samples, dtype=numpy.int16)");
  }
  const auto a = py::reinterpret_borrow<py::array>(obj);
  const py::dtype dtype = a.dtype();
  const std::string got = py::str(static_cast<const py::handle&>(dtype));
  if (dtype.kind() == 'f' || dtype.kind() == 'c') {
    throw py::type_error("samples are " + got +
                         " and the engine takes int16; it does not round for you (0.5 "
                         "would silently become 0). Convert a signal in -1..1 with "
                         "numpy.clip(numpy.round(x * 32768), -32768, 32767).astype(numpy.int16)");
  }
  if (!((dtype.kind() == 'i') && dtype.itemsize() == 2)) {
    throw py::type_error("samples are " + got +
                         " and the engine takes int16: convert with "
                         "samples.astype(numpy.int16) once they fit -32768..32767");
  }
  if (!(a.ndim() == 1 || (a.ndim() == 2 && a.shape(1) == 1))) {
    std::string shape = "(";
    for (py::ssize_t d = 0; d < a.ndim(); ++d)
      shape += (d ? ", " : "") + std::to_string(a.shape(d));
    shape += a.ndim() == 1 ? ",)" : ")";
    throw py::value_error("samples must be one-dimensional or one column, not of shape " + shape +
                          ": the engine takes one channel; pick one with samples[:, k]");
  }
  // Same type: at most a copy into one contiguous block (a strided view or the other byte order).
  auto samples = py::array_t<int16_t, py::array::c_style>::ensure(a);
  if (!samples) throw py::type_error("samples could not be read as int16: " + got);
  return samples;
}

// A numpy array that owns the vector's samples, without copying them.
py::array_t<int16_t> to_array(std::vector<int16_t>&& samples) {
  auto* owned = new std::vector<int16_t>(std::move(samples));
  py::capsule free_when_done(owned, [](void* p) { delete static_cast<std::vector<int16_t>*>(p); });
  return py::array_t<int16_t>(static_cast<py::ssize_t>(owned->size()), owned->data(),
                              free_when_done);
}

// ---------------------------------------------------------------------------------------------
// Arguments

// None: slot 0; an int: the mask itself; a str such as "hp,dyn" or a list of stage names.
std::optional<int16_t> stage_mask(const py::object& stages) {
  if (stages.is_none()) return std::nullopt;
  if (py::isinstance<py::str>(stages)) return halvern::parse_stages(stages.cast<std::string>());
  if (py::isinstance<py::int_>(stages)) {
    const long mask = stages.cast<long>();
    if (mask < 0 || mask > 0x7fff)
      throw py::value_error("a stage mask is 0..32767 (bits 0-4 count)");
    return static_cast<int16_t>(mask);
  }
  if (py::isinstance<py::sequence>(stages)) {
    std::string list;
    for (const py::handle& name : stages)
      list += (list.empty() ? "" : ",") + py::str(name).cast<std::string>();
    return halvern::parse_stages(list.empty() ? "none" : list);
  }
  throw py::type_error(
      "stages is None, a list such as \"hp,dyn,eq,sup,dither\", a sequence of "
      "those names, or a stage mask, not " +
      type_name(stages));
}

// The slot a key names: an int (numpy's too) or a catalogue name.
int slot_of(const py::object& key) {
  if (py::isinstance<py::str>(key)) {
    const std::string name = key.cast<std::string>();
    const int slot = halvern::slot_number(name);
    if (slot < 0) throw py::key_error("no tuning slot is called '" + name + "'");
    return slot;
  }
  PyObject* index = PyNumber_Index(key.ptr());
  if (index == nullptr) {
    PyErr_Clear();
    throw py::type_error("a slot is a number 0..84 or a name such as 'dyn_makeup_db', not " +
                         type_name(key));
  }
  const long slot = py::reinterpret_steal<py::int_>(index).cast<long>();
  if (slot < 0 || slot >= halvern::SLOT_COUNT) {
    throw py::index_error("there is no slot " + std::to_string(slot) + ": slots are 0 to 84");
  }
  return static_cast<int>(slot);
}

std::string path_text(const std::filesystem::path& path) { return path.string(); }

void warn(const std::string& message) { PyErr_WarnEx(PyExc_RuntimeWarning, message.c_str(), 2); }

py::object json_loads(const std::string& text) {
  return py::module_::import("json").attr("loads")(text);
}

// The audio code's hints name the command line's options; here they are arguments.
std::string python_hint(std::string message) {
  for (const auto& [from, to] : {std::pair{std::string("--channel N"), std::string("channel=N")},
                                 {"--channel ", "channel="},
                                 {"add --resample", "pass resample=True"}}) {
    for (size_t at; (at = message.find(from)) != std::string::npos;)
      message.replace(at, from.size(), to);
  }
  return message;
}

// ---------------------------------------------------------------------------------------------
// Processing

// A Processor for Python: one thread at a time works on it, without the GIL.
struct PyProcessor {
  PyProcessor(const Tuning& tuning, std::optional<int16_t> stages) : processor(tuning, stages) {}
  halvern::Processor processor;
  std::mutex mutex;
  size_t messages_told = 0;

  // The engine's new non-fatal messages as warnings (with the GIL).
  void tell_messages() {
    const std::vector<std::string> messages = processor.messages();
    for (; messages_told < messages.size(); ++messages_told)
      warn("engine: " + messages[messages_told]);
  }
};

py::array_t<int16_t> processor_process(PyProcessor& self, const py::object& chunk) {
  const auto in = int16_samples(chunk);
  std::vector<int16_t> out;
  {
    py::gil_scoped_release release;
    std::lock_guard lock(self.mutex);
    self.processor.process(std::span(in.data(), static_cast<size_t>(in.size())), &out);
  }
  self.tell_messages();
  return to_array(std::move(out));
}

py::array_t<int16_t> processor_flush(PyProcessor& self, bool pad) {
  std::vector<int16_t> out;
  {
    py::gil_scoped_release release;
    std::lock_guard lock(self.mutex);
    self.processor.flush(pad, &out);
  }
  self.tell_messages();
  return to_array(std::move(out));
}

py::array_t<int16_t> process(const py::object& samples, const Tuning& tuning,
                             const py::object& stages, bool pad) {
  const auto in = int16_samples(samples);
  PyProcessor processor(tuning, stage_mask(stages));
  std::vector<int16_t> out;
  {
    py::gil_scoped_release release;
    out.reserve(static_cast<size_t>(in.size()) + halvern::FRAME_SAMPLES);
    processor.processor.process(std::span(in.data(), static_cast<size_t>(in.size())), &out);
    processor.processor.flush(pad, &out);
  }
  processor.tell_messages();
  return to_array(std::move(out));
}

// The frame rows as columns named as in frames.csv, in its order.
py::dict frame_columns(const std::vector<halvern::tools::FrameState>& frames) {
  using namespace halvern::tools;
  std::vector<std::string> names;
  {
    std::string header = frames_csv_header();
    header.pop_back();  // the newline
    for (size_t at = 0; at <= header.size();) {
      const size_t comma = std::min(header.find(',', at), header.size());
      names.push_back(header.substr(at, comma - at));
      at = comma + 1;
    }
  }
  const auto n = static_cast<py::ssize_t>(frames.size());
  py::array_t<int64_t> frame(n);
  std::vector<py::array_t<double>> decibels;  // time_s and the six dB columns
  for (int c = 0; c < 7; ++c) decibels.emplace_back(n);
  constexpr size_t kBands = halvern::BAND_COUNT;
  std::vector<py::array_t<int16_t>> ints;  // the band columns, the dither seed and direction
  for (size_t c = 0; c < 4 * kBands + 2; ++c) ints.emplace_back(n);
  if (names.size() != 1 + decibels.size() + ints.size()) {
    throw std::logic_error("frames.csv has " + std::to_string(names.size()) + " columns");
  }
  for (py::ssize_t i = 0; i < n; ++i) {
    const FrameState& s = frames[static_cast<size_t>(i)];
    frame.mutable_at(i) = s.frame;
    const double values[] = {static_cast<double>(s.frame) * 0.02,
                             q7_db(s.dyn_level),
                             q15_db(s.dyn_gain),
                             q11_db(s.dyn_makeup),
                             q7_db(s.comp_level),
                             q15_db(s.comp_gain),
                             q15_db(s.limiter_gain)};
    for (size_t c = 0; c < decibels.size(); ++c) decibels[c].mutable_at(i) = values[c];
    size_t c = 0;
    for (const auto* field : {&s.band_level, &s.band_mark, &s.band_hold, &s.peak_flag}) {
      for (const int16_t v : *field) ints[c++].mutable_at(i) = v;
    }
    ints[c++].mutable_at(i) = s.dither_seed;
    ints[c].mutable_at(i) = s.dither_direction;
  }
  py::dict columns;
  size_t k = 0;
  columns[py::str(names[k++])] = frame;
  for (auto& a : decibels) columns[py::str(names[k++])] = a;
  for (auto& a : ints) columns[py::str(names[k++])] = a;
  return columns;
}

py::dict run(const py::object& samples, const Tuning& tuning, bool trace, const py::object& stages,
             bool pad) {
  using namespace halvern::tools;
  const auto in = int16_samples(samples);
  std::vector<int16_t> input(in.data(), in.data() + in.size());
  if (pad && input.size() % halvern::FRAME_SAMPLES != 0) {
    input.resize((input.size() / halvern::FRAME_SAMPLES + 1) * halvern::FRAME_SAMPLES, 0);
  }
  JobOptions options;
  options.stage_mask = stage_mask(stages);
  options.keep_signals = trace;
  options.keep_frames = trace;
  JobResult result;
  {
    py::gil_scoped_release release;
    try {
      result = run_job(input, tuning.slots(), options);
    } catch (const halvern::ArithmeticFault& fault) {
      std::string message = fault.what();
      while (!message.empty() && message.back() == '\n') message.pop_back();
      throw halvern::Error("the engine stopped: " + message);
    }
  }
  for (const std::string& message : result.diagnostics) warn("engine: " + message);
  py::dict out;
  py::object signals = py::none();
  py::object frames = py::none();
  if (trace) {
    py::dict d;
    for (int p = 0; p < halvern::POSITION_COUNT; ++p) {
      const auto position = static_cast<halvern::Position>(p);
      d[py::str(std::to_string(p) + "_" + std::string(halvern::position_name(position)))] =
          to_array(std::move(result.signals[static_cast<size_t>(p)]));
    }
    signals = d;
    frames = frame_columns(result.frames);
  }
  out["output"] = to_array(std::move(result.output));
  out["signals"] = signals;
  out["frames"] = frames;
  out["stats"] = json_loads(stats_to_json(result.stats).dump());
  return out;
}

// ---------------------------------------------------------------------------------------------
// Audio files

py::array_t<int16_t> read_file(const std::filesystem::path& path, bool resample,
                               std::optional<int> channel) {
  halvern::tools::ReadOptions options;
  options.resample = resample;
  if (channel) {
    if (*channel < 1) throw py::value_error("channel counts from 1 (the first channel)");
    options.channel = *channel;
  }
  halvern::tools::AudioInput audio;
  {
    py::gil_scoped_release release;
    audio = halvern::tools::read_audio(path_text(path), options);
  }
  if (audio.clipped > 0) {
    warn(path_text(path) + ": " + std::to_string(audio.clipped) +
         " samples were clipped at full scale converting to 16 bits");
  }
  return to_array(std::move(audio.samples));
}

void write_file(const std::filesystem::path& path, const py::object& samples) {
  const auto in = int16_samples(samples);
  const halvern::tools::AudioFormat format = halvern::tools::format_for_path(path_text(path));
  if (format.lossy) {
    warn(path_text(path) + " is " + format.name +
         ", a lossy format: it does not hold the samples bit for bit");
  }
  py::gil_scoped_release release;
  halvern::tools::AudioWriter writer(path_text(path), format);
  writer.write(in.data(), static_cast<size_t>(in.size()));
  writer.commit();
}

}  // namespace

PYBIND11_MODULE(halvern, m) {
  m.doc() = R"(The fixed-point voice engine, bit for bit as halvern-sim runs it.

Samples are numpy int16 arrays of 16 kHz mono audio; the engine works on frames of 320
samples (20 ms).

    import halvern
    tuning = halvern.Tuning.load("examples/tuning.txt")
    tuning["dyn_makeup_db"] = 9
    x = halvern.read("examples/speech_howl.pcm")
    y = halvern.process(x, tuning)          # halvern-sim's output
    r = halvern.run(x, tuning)              # + the signal after every stage, frames, stats
    tuning.save("louder.txt")               # only the changed value is rewritten

Every failure of a file, a slot or the engine raises halvern.Error.)";
  m.attr("__version__") = halvern::version();
  m.attr("SAMPLE_RATE") = halvern::SAMPLE_RATE;
  m.attr("FRAME_SAMPLES") = halvern::FRAME_SAMPLES;
  m.attr("SLOT_COUNT") = halvern::SLOT_COUNT;

  static py::exception<halvern::Error>& error =
      py::register_exception<halvern::Error>(m, "Error", PyExc_RuntimeError);
  error.doc() =
      "A file that cannot be read or written, a tuning that cannot be saved, or an "
      "engine that stopped on an arithmetic error. The message says what and how to fix it.";
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const halvern::tools::AudioError& e) {
      PyErr_SetString(error.ptr(), python_hint(e.what()).c_str());
    }
  });

  py::class_<halvern::Finding>(m, "Finding",
                               "One finding of the tuning review, as halvern check prints it.")
      .def_readonly("severity", &halvern::Finding::severity, "'error', 'warning' or 'note'")
      .def_property_readonly(
          "line",
          [](const halvern::Finding& f) { return f.line > 0 ? py::cast(f.line) : py::none(); },
          "the line, from 1; None for a finding about the whole file")
      .def_property_readonly(
          "column",
          [](const halvern::Finding& f) { return f.column > 0 ? py::cast(f.column) : py::none(); },
          "the column, from 1 (bytes); None for a finding about the whole file")
      .def_property_readonly(
          "slot",
          [](const halvern::Finding& f) { return f.slot >= 0 ? py::cast(f.slot) : py::none(); },
          "the slot it is about, or None")
      .def_readonly("message", &halvern::Finding::message, "what is wrong and how to fix it")
      .def_readonly("text", &halvern::Finding::text,
                    "'path:line:column: severity: message [slot N name]'")
      .def("__str__", [](const halvern::Finding& f) { return f.text; })
      .def("__repr__",
           [](const halvern::Finding& f) { return "<halvern.Finding " + f.text + ">"; });

  py::class_<Tuning>(m, "Tuning", R"(The 85 slot values of a tuning and the text of its file.

A tuning loads as halvern-sim loads it. Slots are read and set by number or by catalogue
name: tuning[12], tuning["dyn_makeup_db"] = 9. save() rewrites only the values that changed.)")
      .def(py::init<>(), "A tuning with every slot 0, from no file.")
      .def_static(
          "load", [](const std::filesystem::path& path) { return Tuning::load(path_text(path)); },
          "path"_a,
          "Loads the tuning file at path as halvern-sim does. Raises halvern.Error when it cannot "
          "be read.")
      .def(
          "__getitem__", [](const Tuning& t, const py::object& key) { return t.get(slot_of(key)); },
          "key"_a, "The value of a slot, by number (0..84) or by name.")
      .def(
          "__setitem__",
          [](Tuning& t, const py::object& key, const py::object& value) {
            const int slot = slot_of(key);
            PyObject* index = PyNumber_Index(value.ptr());
            if (index == nullptr) {
              PyErr_Clear();
              throw py::type_error("a slot value is a whole number, not " + type_name(value));
            }
            const long v = py::reinterpret_steal<py::int_>(index).cast<long>();
            if (v < -32768 || v > 32767) {
              throw py::value_error("slot " + std::to_string(slot) + " holds -32768..32767, not " +
                                    std::to_string(v));
            }
            t.set(slot, static_cast<int>(v));
          },
          "key"_a, "value"_a,
          "Sets a slot, by number or by name, to a whole number in -32768..32767.")
      .def(
          "__len__", [](const Tuning&) { return halvern::SLOT_COUNT; }, "85: the number of slots.")
      .def_property_readonly(
          "slots",
          [](const Tuning& t) {
            return to_array(std::vector<int16_t>(t.slots().begin(), t.slots().end()));
          },
          "The 85 values as a new int16 array.")
      .def_property_readonly(
          "path",
          [](const Tuning& t) { return t.path().empty() ? py::none() : py::cast(t.path()); },
          "The file it was loaded from or last saved to, or None.")
      .def("check", &Tuning::check,
           "The findings of halvern check for the tuning as it stands (its file with the changes "
           "made), as a list of halvern.Finding; empty when all is well.")
      .def(
          "explain", [](const Tuning& t) { return json_loads(t.explain_json()); },
          "What halvern explain --json prints for the tuning: a dict with the keys path, "
          "readable, configured, slots, stages and diagnostics.")
      .def(
          "save",
          [](Tuning& t, const std::optional<std::filesystem::path>& path) {
            if (path) {
              t.save(path_text(*path));
            } else {
              t.save();
            }
          },
          "path"_a = py::none(),
          "Writes the tuning to path (default: its own file). Only the values that changed are "
          "rewritten; names, order, white space and comments stay. The file is replaced whole "
          "or not at all. Raises halvern.Error when a changed slot has no number in the file to "
          "rewrite.")
      .def("__copy__", [](const Tuning& t) { return Tuning(t); })
      .def(
          "__deepcopy__", [](const Tuning& t, const py::object&) { return Tuning(t); }, "memo"_a)
      .def("__repr__", [](const Tuning& t) {
        return "<halvern.Tuning " + (t.path().empty() ? std::string("(no file)") : t.path()) + ">";
      });

  py::class_<PyProcessor>(m, "Processor", R"(A stream of samples through one engine.

process() takes chunks of any size and returns the processed samples of every frame they
complete; the samples of a frame not yet complete wait inside. The outputs put end to end
equal process() of the whole input, bit for bit. flush() ends the stream.)")
      .def(py::init([](const Tuning& tuning, const py::object& stages) {
             return std::make_unique<PyProcessor>(tuning, stage_mask(stages));
           }),
           "tuning"_a, "stages"_a = py::none(),
           "An engine configured from tuning (copied). stages replaces slot 0: "
           "\"hp,dyn,eq,sup,dither\", "
           "a list of those names, or a mask; None keeps slot 0.")
      .def("process", &processor_process, "chunk"_a,
           "Processes a chunk of int16 samples (any length) and returns the int16 samples of every "
           "frame it completes: a multiple of 320, maybe none. Float input raises TypeError.")
      .def("flush", &processor_flush, "pad"_a = false,
           "Ends the stream. The partial frame inside is dropped (as halvern-sim drops it) or, "
           "with pad=True, completed with zeros and returned processed (320 samples). The "
           "processor then starts afresh.")
      .def(
          "reset",
          [](PyProcessor& self) {
            std::lock_guard lock(self.mutex);
            self.processor.reset();
            self.messages_told = 0;
          },
          py::call_guard<py::gil_scoped_release>(),
          "Drops the waiting samples and the engine's state: the next chunk starts a new stream.")
      .def_property_readonly(
          "latency", [](const PyProcessor& self) { return self.processor.latency(); },
          "The most samples between an input sample going in and what it became "
          "coming out: 319 (the rest of its frame must arrive first) plus delay; "
          "461 with every stage on.")
      .def_property_readonly(
          "delay", [](const PyProcessor& self) { return self.processor.delay(); },
          "Samples by which the enabled stages delay the signal (the equalizer "
          "46, the peak suppressor 96): output[i + delay] is what input[i] "
          "became. halvern-sim's output has the same delay.")
      .def_property_readonly(
          "buffered", [](const PyProcessor& self) { return self.processor.buffered(); },
          "Input samples waiting for their frame to complete.");

  m.def("process", &process, "samples"_a, "tuning"_a, "stages"_a = py::none(), "pad"_a = false,
        R"(Runs int16 samples through the engine and returns the int16 output: halvern-sim's.

samples: a one-dimensional numpy int16 array (or one column). Float input raises TypeError:
the engine does not round for you.
stages: None (slot 0), "hp,dyn,eq,sup,dither" or a list of those names, or a mask.
pad: a trailing partial frame is dropped (False, as halvern-sim) or padded with zeros.
The GIL is released while the engine runs.)");

  m.def("run", &run, "samples"_a, "tuning"_a, "trace"_a = true, "stages"_a = py::none(),
        "pad"_a = false,
        R"(Runs samples through the engine as `halvern run` does; returns a dict:

output:  the processed int16 samples (what process() gives);
signals: the int16 signal after every position of the chain, keyed by the trace files'
         names ("0_input", "1_highpass", "2_dynamics", "3_equalizer", "4_suppressor",
         "5_dither"), in chain order (None without trace);
frames:  the stages' state at the end of every frame, a dict of numpy arrays with the
         columns of frames.csv (a zero gain is -inf dB where frames.csv writes -999;
         None without trace);
stats:   the figures of `halvern run --stats`, as a dict.)");

  m.def("read", &read_file, "path"_a, "resample"_a = false, "channel"_a = py::none(),
        R"(Reads an audio file into an int16 array, as `halvern run` reads its input.

WAV, FLAC, ... through libsndfile; .pcm or .raw is headerless 16-bit 16 kHz mono. Another
sample rate is refused unless resample=True (libsoxr); a file of several channels needs
channel=N (from 1). Wider samples are rounded to 16 bits. Raises halvern.Error.)");

  m.def("write", &write_file, "path"_a, "samples"_a,
        R"(Writes int16 samples to an audio file in the format of its extension (.wav, .flac,
.pcm, ...), as `halvern run` writes its output: under a temporary name, renamed when
complete. Raises halvern.Error.)");

  m.def(
      "slot_catalogue",
      [] {
        py::list slots;
        for (const halvern::Slot& s : halvern::slot_catalogue()) {
          slots.append(py::dict(
              "index"_a = s.index, "name"_a = s.name, "stage"_a = s.stage, "unit"_a = s.unit,
              "min"_a = s.has_range ? py::cast(s.min) : py::none(),
              "max"_a = s.has_range ? py::cast(s.max) : py::none(),
              "out_of_range"_a = s.out_of_range, "range"_a = s.range, "meaning"_a = s.meaning));
        }
        return slots;
      },
      "The 85 tuning slots in order, one dict each: index, name, stage, unit, min, max (None "
      "without a range), out_of_range, range and meaning.");
}
