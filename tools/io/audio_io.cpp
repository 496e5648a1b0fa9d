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

// Samples read as little-endian bytes, in the machine's byte order (as read on a little-endian one).
void samples_from_little_endian(int16_t* samples, size_t n) {
  if constexpr (std::endian::native != std::endian::little) {
    for (size_t i = 0; i < n; ++i) {
      const auto v = static_cast<uint16_t>(samples[i]);
      samples[i] = static_cast<int16_t>((v >> 8) | (v << 8));
    }
  }
}

// Raw 16-bit little-endian samples from path ("-": standard input), read straight into the
// sample vector (sized from the file when it has a size).
void read_raw(const std::string& path, AudioInput* audio) {
  const bool from_stdin = path == "-";
  const std::string name = from_stdin ? "standard input" : path;
  std::FILE* f = from_stdin ? stdin : std::fopen(path.c_str(), "rb");
  if (f == nullptr) throw ToolError("cannot open " + name + ": " + std::strerror(errno));
  std::error_code ec;
  const uintmax_t size = from_stdin ? 0 : std::filesystem::file_size(path, ec);
  std::vector<int16_t>& samples = audio->samples;
  if (!ec && size > 0) samples.reserve(static_cast<size_t>(size / 2) + 1);  // + 1: one read finds the end
  size_t bytes = 0;  // read so far
  for (;;) {
    const size_t have = bytes / 2;
    samples.resize(std::max(samples.capacity(), have + CHUNK_FRAMES));
    auto* target = reinterpret_cast<unsigned char*>(samples.data()) + bytes;
    const size_t room = 2 * samples.size() - bytes;
    const size_t got = std::fread(target, 1, room, f);
    bytes += got;
    if (got < room) break;
  }
  const bool failed = std::ferror(f) != 0;
  const int error = errno;
  if (!from_stdin) std::fclose(f);
  if (failed) throw ToolError("cannot read " + name + ": " + std::strerror(error));
  samples.resize(bytes / 2);
  samples_from_little_endian(samples.data(), samples.size());
  audio->ignored_bytes = static_cast<int64_t>(bytes % 2);
  audio->description = "raw 16-bit PCM, 16000 Hz, 1 channel";
  if (audio->ignored_bytes != 0) {
    audio->notes.push_back(name + ": the last byte is half a sample and was ignored");
  }
}

std::string format_name(int format) {
  SF_FORMAT_INFO info{};
  info.format = format;
  if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof info) != 0 || info.name == nullptr) return "?";
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
             accepted_extensions() + "); a headerless 16-bit 16 kHz recording needs the "
             "extension .pcm or .raw";
    case SF_ERR_SYSTEM:
      return "cannot read " + path + ": " +
             (system_error != 0 ? std::strerror(system_error) : "the system refused to open it") +
             "; check the file and its permissions";
    case SF_ERR_MALFORMED_FILE:
      return "cannot read " + path + ": the file is damaged or cut short; export it again from "
             "the program that made it";
    case SF_ERR_UNSUPPORTED_ENCODING:
      return "cannot read " + path + ": its sample encoding cannot be decoded here; convert it "
             "to 16-bit PCM WAV or FLAC first";
    default:
      return "cannot read " + path + ": it cannot be decoded as audio (" +
             std::string(sf_error_number(sndfile_error)) + "); convert it to WAV or FLAC first";
  }
}

// Samples scaled to 16 bits (full scale 1.0 = 32768), rounded to the nearest and clipped to the
// 16-bit range; counts the clipped ones and sets values that are not numbers to 0.
void round_to_16_bits(const std::vector<double>& x, AudioInput* audio, int64_t* not_numbers) {
  audio->samples.resize(x.size());
  for (size_t i = 0; i < x.size(); ++i) {
    if (std::isnan(x[i])) {
      audio->samples[i] = 0;
      ++*not_numbers;
      continue;
    }
    const double v = std::floor(x[i] * 32768.0 + 0.5);
    if (v > 32767.0 || v < -32768.0) ++audio->clipped;
    audio->samples[i] = static_cast<int16_t>(std::clamp(v, -32768.0, 32767.0));
  }
}

std::vector<double> resample(const std::vector<double>& x, int rate, const std::string& path) {
  const double ratio = ENGINE_SAMPLE_RATE / static_cast<double>(rate);
  std::vector<double> y(static_cast<size_t>(std::ceil(static_cast<double>(x.size()) * ratio)) + 16);
  size_t done = 0;
  const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT64_I, SOXR_FLOAT64_I);
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_VHQ, 0);
  const soxr_error_t error = soxr_oneshot(rate, ENGINE_SAMPLE_RATE, 1, x.data(), x.size(), nullptr,
                                          y.data(), y.size(), &done, &io, &quality, nullptr);
  if (error != nullptr) throw ToolError("cannot resample " + path + ": " + error);
  y.resize(done);
  return y;
}

void read_sndfile(const std::string& path, const ReadOptions& options, AudioInput* audio) {
  SF_INFO info{};
  errno = 0;
  std::unique_ptr<SNDFILE, SndfileCloser> file(sf_open(path.c_str(), SFM_READ, &info));
  if (!file) throw ToolError(open_failure(path, sf_error(nullptr), errno));
  const int subtype = info.format & SF_FORMAT_SUBMASK;
  audio->source_rate = info.samplerate;
  audio->source_channels = info.channels;
  audio->description = format_name(info.format & SF_FORMAT_TYPEMASK) +
                       ", " + format_name(subtype) + ", " +
                       std::to_string(info.samplerate) + " Hz, " + std::to_string(info.channels) +
                       (info.channels == 1 ? " channel" : " channels");
  const std::string channels = std::to_string(info.channels);
  // Every reason the file cannot go to the engine as it is, each with the option that fixes it.
  std::vector<std::string> problems;
  if (info.channels > 1 && options.channel == 0) {
    problems.push_back("it has " + channels + " channels and " +
                       (options.for_engine ? "the engine takes one"
                                           : "recordings are compared one channel at a time") +
                       ": pick one with --channel N (1 to " + channels + ")");
  }
  if (options.channel < 0 || options.channel > info.channels) {
    problems.push_back("it has " + channels + (info.channels == 1 ? " channel" : " channels") +
                       ": --channel " + std::to_string(options.channel) + " names none (use 1 to " +
                       channels + ")");
  }
  const bool other_rate = info.samplerate != ENGINE_SAMPLE_RATE;
  if (other_rate && !options.resample) {
    problems.push_back("it is sampled at " + std::to_string(info.samplerate) + " Hz and " +
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
    std::string message = path + " (" + audio->description + ") cannot go to the engine as it is:";
    for (const std::string& problem : problems) message += "\n  - " + problem;
    throw ToolError(message);
  }
  const size_t channel = options.channel > 0 ? static_cast<size_t>(options.channel - 1) : 0;
  const auto width = static_cast<size_t>(info.channels);
  const bool exact = fits_16_bits(subtype) && !other_rate;

  // Room for the frames the header announces, within reason: a damaged header may claim any number.
  const auto frames = static_cast<size_t>(std::clamp<sf_count_t>(info.frames, 0, sf_count_t{1} << 24));
  if (exact) {
    audio->samples.reserve(frames);
    std::vector<short> chunk(CHUNK_FRAMES * width);
    sf_count_t got = 0;
    while ((got = sf_readf_short(file.get(), chunk.data(), static_cast<sf_count_t>(CHUNK_FRAMES))) > 0) {
      for (sf_count_t i = 0; i < got; ++i) audio->samples.push_back(chunk[static_cast<size_t>(i) * width + channel]);
    }
  } else {
    std::vector<double> mono;
    mono.reserve(frames);
    std::vector<double> chunk(CHUNK_FRAMES * width);
    sf_count_t got = 0;
    while ((got = sf_readf_double(file.get(), chunk.data(), static_cast<sf_count_t>(CHUNK_FRAMES))) > 0) {
      for (sf_count_t i = 0; i < got; ++i) mono.push_back(chunk[static_cast<size_t>(i) * width + channel]);
    }
    if (other_rate) {
      mono = resample(mono, info.samplerate, path);
      audio->resampled = true;
      audio->notes.push_back(path + ": resampled from " + std::to_string(info.samplerate) +
                             " Hz to 16000 Hz (libsoxr, very high quality): the engine no longer "
                             "sees exactly what a device would");
    }
    int64_t not_numbers = 0;
    round_to_16_bits(mono, audio, &not_numbers);
    audio->converted = !fits_16_bits(subtype);
    std::string note = path + ": " + (audio->converted ? format_name(subtype) + " samples" : "the resampled signal");
    note += " rounded to 16 bits; " + (audio->clipped == 0 ? std::string("none") : std::to_string(audio->clipped)) +
            " clipped at full scale";
    if (not_numbers > 0) note += "; " + std::to_string(not_numbers) + " were not numbers and became 0";
    audio->notes.push_back(note);
  }
  if (sf_error(file.get()) != SF_ERR_NO_ERROR) {
    throw ToolError("cannot read " + path + ": " + sf_strerror(file.get()));
  }
  if (info.channels > 1) {
    audio->notes.push_back(path + ": kept channel " + std::to_string(channel + 1) + " of " + channels);
  }
}

}  // namespace

AudioInput read_audio(const std::string& path, const ReadOptions& options) {
  AudioInput audio;
  if (path != "-") check_input_path(path);
  if (is_raw_path(path)) {
    if (options.channel > 1) {
      throw ToolError((path == "-" ? std::string("standard input") : path) +
                       " is raw mono 16-bit PCM: --channel " + std::to_string(options.channel) +
                       " names no channel of it");
    }
    read_raw(path, &audio);
  } else {
    read_sndfile(path, options, &audio);
  }
  const size_t partial = audio.samples.size() % static_cast<size_t>(FRAME_LENGTH);
  if (options.pad && partial != 0) {
    audio.padded = static_cast<int64_t>(static_cast<size_t>(FRAME_LENGTH) - partial);
    audio.samples.resize(audio.samples.size() + static_cast<size_t>(audio.padded), 0);
    audio.notes.push_back((path == "-" ? std::string("standard input") : path) +
                          ": the last partial frame was padded with " +
                          std::to_string(audio.padded) + " zero samples");
  }
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
    for (int subtype : {SF_FORMAT_PCM_16, SF_FORMAT_VORBIS, SF_FORMAT_OPUS, SF_FORMAT_MPEG_LAYER_III}) {
      SF_INFO check{};
      check.samplerate = ENGINE_SAMPLE_RATE;
      check.channels = 1;
      check.format = info.format | subtype;
      if (sf_format_check(&check) == 0) continue;
      format.raw = false;
      format.sndfile_format = check.format;
      format.extension = ext;
      format.lossy = subtype != SF_FORMAT_PCM_16;
      format.name = std::string(info.name) + (format.lossy ? " (" + format_name(subtype) + ")" : "");
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
    if (sf_write_short(sndfile, samples, static_cast<sf_count_t>(n)) != static_cast<sf_count_t>(n)) {
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
    if (sf_close(f) != 0) throw ToolError("cannot write " + impl_->path + ": " + sf_strerror(nullptr));
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
    AudioInput raw;
    read_raw(path, &raw);
    response.description = raw.description;
    response.samples.assign(raw.samples.begin(), raw.samples.end());
    for (double& v : response.samples) v /= 32768.0;
  } else {
    SF_INFO info{};
    std::unique_ptr<SNDFILE, SndfileCloser> file(sf_open(path.c_str(), SFM_READ, &info));
    if (!file) throw ToolError("cannot read " + path + ": " + sf_strerror(nullptr));
    response.description = format_name(info.format & SF_FORMAT_TYPEMASK) + ", " +
                           format_name(info.format & SF_FORMAT_SUBMASK) + ", " +
                           std::to_string(info.samplerate) + " Hz, " +
                           std::to_string(info.channels) +
                           (info.channels == 1 ? " channel" : " channels");
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

sf_count_t vio_length(void* user) { return static_cast<sf_count_t>(static_cast<MemoryFile*>(user)->bytes.size()); }
sf_count_t vio_seek(sf_count_t offset, int whence, void* user) {
  auto* m = static_cast<MemoryFile*>(user);
  const sf_count_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? m->position : vio_length(user);
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
