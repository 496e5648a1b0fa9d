#include "tools/io/audio_io.h"

#include <sndfile.h>
#include <soxr.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <system_error>
#include <utility>

#include "frame/stage_header.h"
#include "tools/io/safe_file.h"

namespace halvern::tools {

namespace {

constexpr size_t CHUNK_FRAMES = 8192;  // frames per read or write call

// Extensions taken for a format that libsndfile lists under another (alias, listed).
constexpr std::pair<std::string_view, std::string_view> EXTENSION_ALIASES[] = {{"aif", "aiff"},
                                                                               {"ogg", "oga"}};

std::string lower_extension(const std::string& path) {
  std::string ext = std::filesystem::path(path).extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return ext;
}

// "-", .pcm, .raw, and a device or pipe without an extension (/dev/null, a FIFO).
bool is_raw_path(const std::string& path) {
  const std::string ext = lower_extension(path);
  std::error_code ec;
  const auto status = std::filesystem::status(path, ec);
  const bool special = !ec && std::filesystem::exists(status) &&
                       !std::filesystem::is_regular_file(status) &&
                       !std::filesystem::is_directory(status);
  return path == "-" || ext == ".pcm" || ext == ".raw" || (ext.empty() && special);
}

void to_little_endian(const int16_t* samples, size_t n, unsigned char* bytes) {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(bytes, samples, 2 * n);
  } else {
    for (size_t i = 0; i < n; ++i) {
      const auto v = static_cast<uint16_t>(samples[i]);
      bytes[2 * i] = static_cast<unsigned char>(v & 0xff);
      bytes[2 * i + 1] = static_cast<unsigned char>(v >> 8);
    }
  }
}

// Samples read as little-endian bytes, in the machine's byte order (as read on a little-endian
// one).
void samples_from_little_endian(int16_t* samples, size_t n) {
  if constexpr (std::endian::native != std::endian::little) {
    for (size_t i = 0; i < n; ++i) {
      const auto v = static_cast<uint16_t>(samples[i]);
      samples[i] = static_cast<int16_t>((v >> 8) | (v << 8));
    }
  }
}

std::string format_name(int format) {
  SF_FORMAT_INFO info{};
  info.format = format;
  if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof info) != 0 || info.name == nullptr)
    return "?";
  return info.name;
}

// Subtypes whose samples libsndfile gives as 16-bit integers without loss.
bool fits_16_bits(int subtype) {
  return subtype == SF_FORMAT_PCM_S8 || subtype == SF_FORMAT_PCM_U8 ||
         subtype == SF_FORMAT_PCM_16 || subtype == SF_FORMAT_ULAW || subtype == SF_FORMAT_ALAW;
}

struct SndfileCloser {
  void operator()(SNDFILE* f) const { sf_close(f); }
};

// A missing file or a folder, said in words before libsndfile is asked (its own texts name
// neither the file nor the fix).
void check_input_path(const std::string& path) {
  std::error_code error;
  const auto status = std::filesystem::status(path, error);
  if (!std::filesystem::exists(status)) {
    throw ToolError("cannot read " + path + ": there is no such file; check the path");
  }
  if (std::filesystem::is_directory(status)) {
    throw ToolError("cannot read " + path + ": it is a folder; give a recording in it");
  }
}

// Why libsndfile could not open path, in words that name the file and what to do.
std::string open_failure(const std::string& path, int sndfile_error, int system_error) {
  switch (sndfile_error) {
    case SF_ERR_UNRECOGNISED_FORMAT:
      return "cannot read " + path + ": its content is in no audio format known here (" +
             accepted_extensions() +
             "); a headerless 16-bit 16 kHz recording needs the "
             "extension .pcm or .raw";
    case SF_ERR_SYSTEM:
      return "cannot read " + path + ": " +
             (system_error != 0 ? std::strerror(system_error) : "the system refused to open it") +
             "; check the file and its permissions";
    case SF_ERR_MALFORMED_FILE:
      return "cannot read " + path +
             ": the file is damaged or cut short; export it again from "
             "the program that made it";
    case SF_ERR_UNSUPPORTED_ENCODING:
      return "cannot read " + path +
             ": its sample encoding cannot be decoded here; convert it "
             "to 16-bit PCM WAV or FLAC first";
    default:
      return "cannot read " + path + ": it cannot be decoded as audio (" +
             std::string(sf_error_number(sndfile_error)) + "); convert it to WAV or FLAC first";
  }
}

struct SoxrDeleter {
  void operator()(soxr_t r) const { soxr_delete(r); }
};

// Samples scaled to 16 bits (full scale 1.0 = 32768), rounded to the nearest and clipped to the
// 16-bit range, appended to out; counts the clipped ones and sets values that are not numbers
// to 0.
void round_to_16_bits(const double* x, size_t n, std::vector<int16_t>* out, int64_t* clipped,
                      int64_t* not_numbers) {
  for (size_t i = 0; i < n; ++i) {
    if (std::isnan(x[i])) {
      out->push_back(0);
      ++*not_numbers;
      continue;
    }
    const double v = std::floor(x[i] * 32768.0 + 0.5);
    if (v > 32767.0 || v < -32768.0) ++*clipped;
    out->push_back(static_cast<int16_t>(std::clamp(v, -32768.0, 32767.0)));
  }
}

}  // namespace

struct AudioReader::Impl {
  std::string path;
  std::string name;  // for the user: the path, or "standard input"
  ReadOptions options;
  AudioInput info;
  int64_t expected = -1;

  // Raw input.
  std::FILE* raw = nullptr;  // null for a file read through libsndfile
  bool from_stdin = false;
  // libsndfile.
  std::unique_ptr<SNDFILE, SndfileCloser> sndfile;
  int subtype = 0;
  size_t width = 1;    // channels in the file
  size_t channel = 0;  // the one kept
  bool exact = true;   // 16-bit samples at 16 kHz: read as they are
  std::vector<short> shorts;
  std::vector<double> doubles;
  std::vector<double> mono;
  std::unique_ptr<soxr, SoxrDeleter> resampler;  // when the rate differs
  std::vector<double> resampled;
  int64_t not_numbers = 0;

  std::vector<int16_t> ready;  // samples read, not yet given
  size_t ready_at = 0;
  int64_t given = 0;         // samples of the file given so far (not counting padding)
  bool source_done = false;  // the file's end reached
  bool finished = false;     // and the notes written, the padding queued

  ~Impl() {
    if (raw != nullptr && !from_stdin) std::fclose(raw);
  }
  void open_raw();
  void open_sndfile();
  void refill_raw();
  void refill_sndfile();
  void resample_into_ready(const double* x, size_t n);
  void finish();
};

void AudioReader::Impl::open_raw() {
  from_stdin = path == "-";
  if (options.channel > 1) {
    throw ToolError(name + " is raw mono 16-bit PCM: --channel " + std::to_string(options.channel) +
                    " names no channel of it");
  }
  raw = from_stdin ? stdin : std::fopen(path.c_str(), "rb");
  if (raw == nullptr) throw ToolError("cannot open " + name + ": " + std::strerror(errno));
  std::error_code ec;
  const uintmax_t size = from_stdin ? 0 : std::filesystem::file_size(path, ec);
  if (!from_stdin && !ec) expected = static_cast<int64_t>(size / 2);
  info.description = "raw 16-bit PCM, 16000 Hz, 1 channel";
}

void AudioReader::Impl::refill_raw() {
  ready.resize(CHUNK_FRAMES);
  auto* target = reinterpret_cast<unsigned char*>(ready.data());
  const size_t room = 2 * ready.size();
  const size_t got = std::fread(target, 1, room, raw);
  if (got < room) {
    if (std::ferror(raw) != 0) throw ToolError("cannot read " + name + ": " + std::strerror(errno));
    source_done = true;
    info.ignored_bytes = static_cast<int64_t>(got % 2);
  }
  ready.resize(got / 2);
  samples_from_little_endian(ready.data(), ready.size());
}

void AudioReader::Impl::open_sndfile() {
  SF_INFO sf{};
  errno = 0;
  sndfile.reset(sf_open(path.c_str(), SFM_READ, &sf));
  if (!sndfile) throw ToolError(open_failure(path, sf_error(nullptr), errno));
  subtype = sf.format & SF_FORMAT_SUBMASK;
  info.source_rate = sf.samplerate;
  info.source_channels = sf.channels;
  info.description = format_name(sf.format & SF_FORMAT_TYPEMASK) + ", " + format_name(subtype) +
                     ", " + std::to_string(sf.samplerate) + " Hz, " + std::to_string(sf.channels) +
                     (sf.channels == 1 ? " channel" : " channels");
  const std::string channels = std::to_string(sf.channels);
  // Every reason the file cannot go to the engine as it is, each with the option that fixes it.
  std::vector<std::string> problems;
  if (sf.channels > 1 && options.channel == 0) {
    problems.push_back("it has " + channels + " channels and " +
                       (options.for_engine ? "the engine takes one"
                                           : "recordings are compared one channel at a time") +
                       ": pick one with --channel N (1 to " + channels + ")");
  }
  if (options.channel < 0 || options.channel > sf.channels) {
    problems.push_back("it has " + channels + (sf.channels == 1 ? " channel" : " channels") +
                       ": --channel " + std::to_string(options.channel) + " names none (use 1 to " +
                       channels + ")");
  }
  const bool other_rate = sf.samplerate != ENGINE_SAMPLE_RATE;
  if (other_rate && !options.resample) {
    problems.push_back("it is sampled at " + std::to_string(sf.samplerate) + " Hz and " +
                       (options.for_engine
                            ? "the engine runs at 16000 Hz: add --resample to convert it (the "
                              "engine then no longer sees exactly what a device would), or "
                              "convert it first"
                            : "recordings are compared at 16000 Hz: add --resample to convert "
                              "it, or convert it first"));
  }
  if (problems.size() == 1) {
    throw ToolError(path + problems[0].substr(2));  // "it has ..." -> "<path> has ..."
  }
  if (!problems.empty()) {
    std::string message = path + " (" + info.description + ") cannot " +
                          (options.for_engine ? "go to the engine" : "be compared") + " as it is:";
    for (const std::string& problem : problems) message += "\n  - " + problem;
    throw ToolError(message);
  }
  channel = options.channel > 0 ? static_cast<size_t>(options.channel - 1) : 0;
  width = static_cast<size_t>(sf.channels);
  exact = fits_16_bits(subtype) && !other_rate;
  info.converted = !fits_16_bits(subtype);
  const double ratio = ENGINE_SAMPLE_RATE / static_cast<double>(sf.samplerate);
  if (sf.frames > 0) expected = std::llround(static_cast<double>(sf.frames) * ratio);
  if (other_rate) {
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT64_I, SOXR_FLOAT64_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_VHQ, 0);
    soxr_error_t error = nullptr;
    resampler.reset(
        soxr_create(sf.samplerate, ENGINE_SAMPLE_RATE, 1, &error, &io, &quality, nullptr));
    if (error != nullptr) throw ToolError("cannot resample " + path + ": " + error);
    info.resampled = true;
    resampled.resize(static_cast<size_t>(std::ceil(static_cast<double>(CHUNK_FRAMES) * ratio)) +
                     1024);
  }
}

// x through the resampler (null: the end of the input, which flushes it) into ready.
void AudioReader::Impl::resample_into_ready(const double* x, size_t n) {
  for (;;) {
    size_t used = 0;
    size_t made = 0;
    const soxr_error_t error = soxr_process(resampler.get(), x, n, x != nullptr ? &used : nullptr,
                                            resampled.data(), resampled.size(), &made);
    if (error != nullptr) throw ToolError("cannot resample " + path + ": " + error);
    round_to_16_bits(resampled.data(), made, &ready, &info.clipped, &not_numbers);
    if (x != nullptr) {
      x += used;
      n -= used;
      if (n == 0 || (used == 0 && made == 0)) return;
    } else if (made == 0) {
      return;
    }
  }
}

void AudioReader::Impl::refill_sndfile() {
  ready.clear();
  const auto frames = static_cast<sf_count_t>(CHUNK_FRAMES);
  sf_count_t got = 0;
  if (exact) {
    shorts.resize(CHUNK_FRAMES * width);
    got = sf_readf_short(sndfile.get(), shorts.data(), frames);
    for (sf_count_t i = 0; i < got; ++i)
      ready.push_back(shorts[static_cast<size_t>(i) * width + channel]);
  } else {
    doubles.resize(CHUNK_FRAMES * width);
    got = sf_readf_double(sndfile.get(), doubles.data(), frames);
    mono.resize(static_cast<size_t>(std::max<sf_count_t>(got, 0)));
    for (size_t i = 0; i < mono.size(); ++i) mono[i] = doubles[i * width + channel];
    if (resampler) {
      if (got > 0) resample_into_ready(mono.data(), mono.size());
      if (got <= 0) resample_into_ready(nullptr, 0);
    } else {
      round_to_16_bits(mono.data(), mono.size(), &ready, &info.clipped, &not_numbers);
    }
  }
  if (got <= 0) {
    source_done = true;
    if (sf_error(sndfile.get()) != SF_ERR_NO_ERROR) {
      throw ToolError("cannot read " + path + ": " + sf_strerror(sndfile.get()));
    }
  }
}

// At the end of the file: the notes for the user, and the zeros of --pad.
void AudioReader::Impl::finish() {
  finished = true;
  if (raw != nullptr) {
    if (info.ignored_bytes != 0)
      info.notes.push_back(name + ": the last byte is half a sample and was ignored");
  } else {
    if (!exact) {
      if (info.resampled) {
        info.notes.push_back(path + ": resampled from " + std::to_string(info.source_rate) +
                             " Hz to 16000 Hz (libsoxr, very high quality): the engine no longer "
                             "sees exactly what a device would");
      }
      std::string note =
          path + ": " +
          (info.converted ? format_name(subtype) + " samples" : "the resampled signal");
      note += " rounded to 16 bits; " +
              (info.clipped == 0 ? std::string("none") : std::to_string(info.clipped)) +
              " clipped at full scale";
      if (not_numbers > 0)
        note += "; " + std::to_string(not_numbers) + " were not numbers and became 0";
      info.notes.push_back(note);
    }
    if (width > 1) {
      info.notes.push_back(path + ": kept channel " + std::to_string(channel + 1) + " of " +
                           std::to_string(width));
    }
  }
  const auto partial = static_cast<size_t>(given % FRAME_LENGTH);
  if (options.pad && partial != 0) {
    info.padded = static_cast<int64_t>(static_cast<size_t>(FRAME_LENGTH) - partial);
    ready.assign(static_cast<size_t>(info.padded), 0);
    ready_at = 0;
    info.notes.push_back(name + ": the last partial frame was padded with " +
                         std::to_string(info.padded) + " zero samples");
  }
}

AudioReader::AudioReader(const std::string& path, const ReadOptions& options)
    : impl_(std::make_unique<Impl>()) {
  impl_->path = path;
  impl_->name = path == "-" ? "standard input" : path;
  impl_->options = options;
  if (path != "-") check_input_path(path);
  if (is_raw_path(path)) {
    impl_->open_raw();
  } else {
    impl_->open_sndfile();
  }
  if (options.pad && impl_->expected > 0) {
    impl_->expected = (impl_->expected + FRAME_LENGTH - 1) / FRAME_LENGTH * FRAME_LENGTH;
  }
}

AudioReader::~AudioReader() = default;

size_t AudioReader::read(int16_t* out, size_t n) {
  Impl& r = *impl_;
  size_t done = 0;
  while (done < n) {
    if (r.ready_at < r.ready.size()) {
      const size_t take = std::min(n - done, r.ready.size() - r.ready_at);
      std::copy_n(r.ready.data() + r.ready_at, take, out + done);
      r.ready_at += take;
      done += take;
      if (!r.finished) r.given += static_cast<int64_t>(take);
      continue;
    }
    if (r.finished) break;
    r.ready.clear();
    r.ready_at = 0;
    if (r.source_done) {
      r.finish();
    } else if (r.raw != nullptr) {
      r.refill_raw();
    } else {
      r.refill_sndfile();
    }
  }
  return done;
}

const AudioInput& AudioReader::info() const { return impl_->info; }
int64_t AudioReader::expected_samples() const { return impl_->expected; }

AudioInput read_audio(const std::string& path, const ReadOptions& options) {
  AudioReader reader(path, options);
  std::vector<int16_t> samples;
  // Room for what the size or the header announces, within reason: a damaged header may claim
  // any number (reserved memory is not used memory until it is written).
  samples.reserve(
      static_cast<size_t>(std::clamp<int64_t>(reader.expected_samples(), 0, int64_t{1} << 28)));
  for (;;) {
    const size_t at = samples.size();
    samples.resize(std::max(samples.capacity(), at + CHUNK_FRAMES));
    const size_t got = reader.read(samples.data() + at, samples.size() - at);
    samples.resize(at + got);
    if (got == 0) break;
  }
  AudioInput audio = reader.info();
  audio.samples = std::move(samples);
  return audio;
}

AudioFormat format_for_path(const std::string& path) {
  AudioFormat format;
  if (is_raw_path(path)) {
    format.extension = lower_extension(path).empty() ? ".pcm" : lower_extension(path);
    format.name = "raw 16-bit PCM";
    return format;
  }
  std::string ext = lower_extension(path);
  std::string wanted = ext.empty() ? "" : ext.substr(1);
  for (const auto& [alias, listed] : EXTENSION_ALIASES) {
    if (wanted == alias) wanted = listed;
  }
  int majors = 0;
  sf_command(nullptr, SFC_GET_FORMAT_MAJOR_COUNT, &majors, sizeof majors);
  for (int m = 0; m < majors; ++m) {
    SF_FORMAT_INFO info{};
    info.format = m;
    if (sf_command(nullptr, SFC_GET_FORMAT_MAJOR, &info, sizeof info) != 0) continue;
    if (wanted.empty() || wanted != info.extension) continue;
    // 16-bit PCM where the format has it, else its lossy codec.
    for (int subtype :
         {SF_FORMAT_PCM_16, SF_FORMAT_VORBIS, SF_FORMAT_OPUS, SF_FORMAT_MPEG_LAYER_III}) {
      SF_INFO check{};
      check.samplerate = ENGINE_SAMPLE_RATE;
      check.channels = 1;
      check.format = info.format | subtype;
      if (sf_format_check(&check) == 0) continue;
      format.raw = false;
      format.sndfile_format = check.format;
      format.extension = ext;
      format.lossy = subtype != SF_FORMAT_PCM_16;
      format.name =
          std::string(info.name) + (format.lossy ? " (" + format_name(subtype) + ")" : "");
      return format;
    }
  }
  throw ToolError("cannot write " + path + ": no audio format has the extension '" + ext +
                  "'; use one of " + accepted_extensions());
}

std::string accepted_extensions() {
  int majors = 0;
  sf_command(nullptr, SFC_GET_FORMAT_MAJOR_COUNT, &majors, sizeof majors);
  std::vector<std::string> known;
  const auto add = [&known](std::string_view name) {
    std::string extension(1, '.');
    extension.append(name);
    if (std::find(known.begin(), known.end(), extension) == known.end()) known.push_back(extension);
  };
  for (int m = 0; m < majors; ++m) {
    SF_FORMAT_INFO info{};
    info.format = m;
    if (sf_command(nullptr, SFC_GET_FORMAT_MAJOR, &info, sizeof info) != 0) continue;
    if (std::string_view(info.extension) == "raw") continue;
    add(info.extension);
    // The other names of the same format that are taken too.
    for (const auto& [alias, listed] : EXTENSION_ALIASES) {
      if (listed == info.extension) add(alias);
    }
  }
  std::string text;
  for (const std::string& extension : known) text += extension + ", ";
  return text + "or .pcm / .raw for headerless 16-bit PCM";
}

struct AudioWriter::Impl {
  std::string path;
  std::unique_ptr<SafeFile> file;  // null for standard output
  SNDFILE* sndfile = nullptr;
  std::vector<int16_t> pending;  // samples not yet handed on: few large writes, not many small
  std::vector<unsigned char> bytes;

  void flush() {
    put(pending.data(), pending.size());
    pending.clear();
  }
  void put(const int16_t* samples, size_t n);
};

void AudioWriter::Impl::put(const int16_t* samples, size_t n) {
  if (n == 0) return;
  if (sndfile != nullptr) {
    if (sf_write_short(sndfile, samples, static_cast<sf_count_t>(n)) !=
        static_cast<sf_count_t>(n)) {
      throw ToolError("cannot write " + path + ": " + sf_strerror(sndfile));
    }
  } else {
    bytes.resize(2 * n);
    to_little_endian(samples, n, bytes.data());
    if (file) {
      file->write(bytes.data(), bytes.size());
    } else if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size()) {
      throw ToolError("cannot write standard output: " + std::string(std::strerror(errno)));
    }
  }
}

AudioWriter::AudioWriter(const std::string& path, const AudioFormat& format,
                         TemporaryFiles* temporaries)
    : impl_(std::make_unique<Impl>()) {
  impl_->path = path == "-" ? "standard output" : path;
  if (path == "-") return;
  impl_->file = std::make_unique<SafeFile>(path, temporaries);
  if (format.raw) return;
  SF_INFO info{};
  info.samplerate = ENGINE_SAMPLE_RATE;
  info.channels = 1;
  info.format = format.sndfile_format;
  impl_->sndfile = sf_open_fd(fileno(impl_->file->file()), SFM_WRITE, &info, SF_FALSE);
  if (impl_->sndfile == nullptr) {
    throw ToolError("cannot write " + path + ": " + sf_strerror(nullptr));
  }
}

AudioWriter::~AudioWriter() {
  if (impl_->sndfile != nullptr) sf_close(impl_->sndfile);
}

void AudioWriter::write(const int16_t* samples, size_t n) {
  constexpr size_t BLOCK = 4 * CHUNK_FRAMES;
  if (impl_->pending.size() + n < BLOCK) {
    impl_->pending.insert(impl_->pending.end(), samples, samples + n);
    return;
  }
  impl_->flush();
  for (size_t at = 0; at < n; at += BLOCK) impl_->put(samples + at, std::min(BLOCK, n - at));
}

void AudioWriter::commit() {
  impl_->flush();
  if (impl_->sndfile != nullptr) {
    SNDFILE* f = impl_->sndfile;
    impl_->sndfile = nullptr;
    if (sf_close(f) != 0)
      throw ToolError("cannot write " + impl_->path + ": " + sf_strerror(nullptr));
  }
  // libsndfile wrote through the descriptor and left it open: SafeFile syncs it, then renames.
  if (impl_->file) {
    impl_->file->commit();
  } else if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    throw ToolError("cannot write standard output: " + std::string(std::strerror(errno)));
  }
}

void write_audio(const std::string& path, const AudioFormat& format,
                 const std::vector<int16_t>& samples, TemporaryFiles* temporaries) {
  AudioWriter writer(path, format, temporaries);
  writer.write(samples.data(), samples.size());
  writer.commit();
}

ImpulseResponse read_impulse_response(const std::string& path, size_t max_samples) {
  ImpulseResponse response;
  if (is_raw_path(path)) {
    const AudioInput raw = read_audio(path);
    response.description = raw.description;
    response.samples.assign(raw.samples.begin(), raw.samples.end());
    for (double& v : response.samples) v /= 32768.0;
  } else {
    SF_INFO info{};
    std::unique_ptr<SNDFILE, SndfileCloser> file(sf_open(path.c_str(), SFM_READ, &info));
    if (!file) throw ToolError("cannot read " + path + ": " + sf_strerror(nullptr));
    response.description =
        format_name(info.format & SF_FORMAT_TYPEMASK) + ", " +
        format_name(info.format & SF_FORMAT_SUBMASK) + ", " + std::to_string(info.samplerate) +
        " Hz, " + std::to_string(info.channels) + (info.channels == 1 ? " channel" : " channels");
    if (info.samplerate != ENGINE_SAMPLE_RATE) {
      throw ToolError(path + " is an impulse response at " + std::to_string(info.samplerate) +
                      " Hz: the loop runs at 16000 Hz; resample it first");
    }
    if (info.channels != 1) {
      throw ToolError(path + " has " + std::to_string(info.channels) +
                      " channels: an impulse response has one; keep the one you want first");
    }
    std::vector<double> chunk(CHUNK_FRAMES);
    sf_count_t got = 0;
    const auto want = static_cast<sf_count_t>(CHUNK_FRAMES);
    while ((got = sf_readf_double(file.get(), chunk.data(), want)) > 0) {
      response.samples.insert(response.samples.end(), chunk.begin(), chunk.begin() + got);
      if (response.samples.size() > max_samples) break;
    }
    if (sf_error(file.get()) != SF_ERR_NO_ERROR) {
      throw ToolError("cannot read " + path + ": " + sf_strerror(file.get()));
    }
  }
  if (response.samples.size() > max_samples) {
    throw ToolError(path + " is longer than " + std::to_string(max_samples) +
                    " samples: shorten the impulse response");
  }
  if (response.samples.empty()) {
    throw ToolError(path + " holds no sample: an impulse response needs one");
  }
  for (size_t i = 0; i < response.samples.size(); ++i) {
    if (!std::isfinite(response.samples[i])) {
      throw ToolError(path + ": sample " + std::to_string(i) + " is not a finite number");
    }
  }
  return response;
}

void write_impulse_response(const std::string& path, const std::vector<double>& samples,
                            TemporaryFiles* temporaries) {
  SafeFile file(path, temporaries);
  SF_INFO info{};
  info.samplerate = ENGINE_SAMPLE_RATE;
  info.channels = 1;
  info.format = SF_FORMAT_WAV | SF_FORMAT_DOUBLE;
  SNDFILE* f = sf_open_fd(fileno(file.file()), SFM_WRITE, &info, SF_FALSE);
  if (f == nullptr) throw ToolError("cannot write " + path + ": " + sf_strerror(nullptr));
  const auto n = static_cast<sf_count_t>(samples.size());
  const bool written = sf_write_double(f, samples.data(), n) == n;
  const std::string error = sf_strerror(f);
  if (sf_close(f) != 0 || !written) throw ToolError("cannot write " + path + ": " + error);
  file.commit();
}

bool same_file(const std::string& a, const std::string& b) {
  if (a == "-" || b == "-") return false;
  std::error_code error;
  return std::filesystem::equivalent(a, b, error) && !error;
}

namespace {

// libsndfile's virtual I/O over a string.
struct MemoryFile {
  std::string bytes;
  sf_count_t position = 0;
};

sf_count_t vio_length(void* user) {
  return static_cast<sf_count_t>(static_cast<MemoryFile*>(user)->bytes.size());
}
sf_count_t vio_seek(sf_count_t offset, int whence, void* user) {
  auto* m = static_cast<MemoryFile*>(user);
  const sf_count_t base = whence == SEEK_SET   ? 0
                          : whence == SEEK_CUR ? m->position
                                               : vio_length(user);
  m->position = std::max<sf_count_t>(0, base + offset);
  return m->position;
}
sf_count_t vio_read(void* ptr, sf_count_t count, void* user) {
  auto* m = static_cast<MemoryFile*>(user);
  const sf_count_t n = std::clamp<sf_count_t>(vio_length(user) - m->position, 0, count);
  std::memcpy(ptr, m->bytes.data() + m->position, static_cast<size_t>(n));
  m->position += n;
  return n;
}
sf_count_t vio_write(const void* ptr, sf_count_t count, void* user) {
  auto* m = static_cast<MemoryFile*>(user);
  const auto end = static_cast<size_t>(m->position + count);
  if (m->bytes.size() < end) m->bytes.resize(end);
  std::memcpy(m->bytes.data() + m->position, ptr, static_cast<size_t>(count));
  m->position += count;
  return count;
}
sf_count_t vio_tell(void* user) { return static_cast<MemoryFile*>(user)->position; }

}  // namespace

std::string wav_bytes(const std::vector<int16_t>& samples) {
  MemoryFile memory;
  SF_VIRTUAL_IO io{vio_length, vio_seek, vio_read, vio_write, vio_tell};
  SF_INFO info{};
  info.samplerate = ENGINE_SAMPLE_RATE;
  info.channels = 1;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* f = sf_open_virtual(&io, SFM_WRITE, &info, &memory);
  if (f == nullptr) throw ToolError(std::string("cannot make a WAV file: ") + sf_strerror(nullptr));
  const auto n = static_cast<sf_count_t>(samples.size());
  const bool written = sf_write_short(f, samples.data(), n) == n;
  if (sf_close(f) != 0 || !written) throw ToolError("cannot make a WAV file in memory");
  return std::move(memory.bytes);
}

}  // namespace halvern::tools
