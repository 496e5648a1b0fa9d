// Audio files in and out of the toolkit. Files with a header (WAV, FLAC, AIFF, ...) go through
// libsndfile, chosen by the file's extension; a .pcm or .raw file is headerless signed 16-bit
// little-endian mono at 16 kHz, as halvern-sim reads and writes it; "-" is standard input or
// output, always raw. The engine takes 16 kHz mono 16-bit samples: an input that is not so is
// refused with a ToolError that names the file and the option that fixes it, or converted when
// asked (libsoxr resamples), with a note for the user every time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/io/tool_error.h"

namespace halvern::tools {

class TemporaryFiles;

inline constexpr int ENGINE_SAMPLE_RATE = 16000;

struct ReadOptions {
  bool resample = false;   // convert another sample rate to 16 kHz (else: ToolError)
  int channel = 0;         // 1-based channel to keep; 0: the file must have a single channel
  bool pad = false;        // complete a trailing partial frame with zeros
  bool for_engine = true;  // the messages speak of the engine; false: of the comparison
};

// The options of reading recordings to compare them (no engine runs).
inline ReadOptions compare_read_options() {
  ReadOptions options;
  options.for_engine = false;
  return options;
}

struct AudioInput {
  std::vector<int16_t> samples;  // 16 kHz mono; a trailing partial frame is kept unless padded
  std::string description;  // what the file holds, e.g. "WAV, 24-bit PCM, 44100 Hz, 2 channels"
  int source_rate = ENGINE_SAMPLE_RATE;
  int source_channels = 1;
  bool resampled = false;          // converted from source_rate by libsoxr
  bool converted = false;          // wider than 16 bits or floating point, rounded to 16 bits
  int64_t clipped = 0;             // samples outside the 16-bit range after conversion, clipped
  int64_t padded = 0;              // zeros added by ReadOptions::pad
  int64_t ignored_bytes = 0;       // raw input only: a trailing odd byte that is no whole sample
  std::vector<std::string> notes;  // one line each: every conversion done, for the user
};

// A recording read in blocks, so that a recording of any length takes the same memory: the file
// is opened (and refused, as read_audio refuses it) by the constructor, and read() gives its
// samples, converted and resampled as they pass (libsoxr's streaming interface), exactly the
// samples read_audio gives. "-" reads raw from standard input.
class AudioReader {
 public:
  // Opens path and checks that it can be used with options. Throws ToolError.
  AudioReader(const std::string& path, const ReadOptions& options = {});
  ~AudioReader();
  AudioReader(const AudioReader&) = delete;
  AudioReader& operator=(const AudioReader&) = delete;

  // Up to n samples into out: n until the end, fewer at the end, then 0. Throws ToolError.
  size_t read(int16_t* out, size_t n);

  // What the file holds; its samples stay empty. The counts and the notes are complete once
  // read() has returned 0.
  const AudioInput& info() const;
  // The samples the file should give, from its size or header (an estimate when resampled or
  // when the header is wrong); -1 when unknown (standard input).
  int64_t expected_samples() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Reads the whole of path ("-": raw from standard input) through an AudioReader. Throws
// ToolError.
AudioInput read_audio(const std::string& path, const ReadOptions& options = {});

// How an output file is written.
struct AudioFormat {
  bool raw = true;         // headerless 16-bit little-endian
  int sndfile_format = 0;  // libsndfile major format | subtype, when not raw
  std::string extension;   // with the dot: ".wav", ".pcm"; ".pcm" for "-"
  std::string name;        // for the user: "WAV", "FLAC", "raw 16-bit PCM"
  bool lossy = false;      // the format does not keep the samples bit for bit (Ogg Vorbis, ...)
};

// The format that path asks for by its extension ("-": raw). Throws ToolError for an extension
// that no format has.
AudioFormat format_for_path(const std::string& path);

// The extensions of the audio formats libsndfile reads and writes here, for messages:
// ".aiff, .au, ..., or .pcm / .raw for headerless 16-bit PCM".
std::string accepted_extensions();

// Writes 16 kHz mono samples to one output file. The file is written under a temporary name
// beside it and takes its own name only in commit(), once every sample is written and the file
// closed without error, so a failed run never leaves a half-written file nor destroys an earlier
// one; the file is synced before the rename and its folder after (SafeFile), so a crash never
// does either. "-" writes raw to standard output. Every write and the close are checked
// (ToolError).
class AudioWriter {
 public:
  // The temporary file is told to temporaries, when given (see SafeFile).
  AudioWriter(const std::string& path, const AudioFormat& format,
              TemporaryFiles* temporaries = nullptr);
  ~AudioWriter();  // removes the temporary file unless committed
  AudioWriter(const AudioWriter&) = delete;
  AudioWriter& operator=(const AudioWriter&) = delete;

  void write(const int16_t* samples, size_t n);
  void commit();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The whole of samples to path in format, through an AudioWriter.
void write_audio(const std::string& path, const AudioFormat& format,
                 const std::vector<int16_t>& samples, TemporaryFiles* temporaries = nullptr);

// A 16 kHz mono 16-bit WAV file in memory holding samples. Throws ToolError.
std::string wav_bytes(const std::vector<int16_t>& samples);

// An impulse response at 16 kHz, one channel: samples in floating point as they are, integer
// samples scaled to +-1.0 (full scale 32768 for 16 bits); .pcm/.raw is 16-bit raw. Refuses
// another rate, more channels, values that are not finite and more than max_samples samples
// (ToolError naming the file and the fix).
struct ImpulseResponse {
  std::vector<double> samples;
  std::string description;
};
ImpulseResponse read_impulse_response(const std::string& path, size_t max_samples);

// The impulse response as a 16 kHz mono WAV of 64-bit floating-point samples (the values
// exactly), through a SafeFile (its temporary name told to temporaries, when given). Throws
// ToolError.
void write_impulse_response(const std::string& path, const std::vector<double>& samples,
                            TemporaryFiles* temporaries = nullptr);

// True when both paths name one existing file (through links or different spellings); used to
// refuse an output that would overwrite an input.
bool same_file(const std::string& a, const std::string& b);

}  // namespace halvern::tools
