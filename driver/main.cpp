// halvern-sim: runs a raw 16-bit PCM recording through the engine with a tuning file.
//
//   halvern-sim input.pcm output.pcm param.txt
//
// Samples are signed 16-bit little-endian, 320 to a frame; a trailing partial frame is dropped.

#include <sys/types.h>
#include <bit>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "engine/engine.h"
#include "fixedpoint/diagnostics.h"
#include "tuning/tuning.h"

namespace {

using namespace halvern;

constexpr const char* kRule =
    "===========================================================================================\n";
constexpr size_t kFrameBytes = 2 * FRAME_LENGTH;

Engine g_engine;  // the program's one engine, for the whole run

void print_help(int argc) {
  std::printf("argc: %d\n\n\n", argc);
  std::printf("%s", kRule);
  std::printf(" Halvern Engine HELP\t\n");
  std::printf("%s", kRule);
  std::printf("\n");
  std::printf("Arguments : input.pcm output.pcm param.txt\n");
  std::printf(" Arg 1st  : input.pcm  : Halvern input file \n");
  std::printf(" Arg 2nd  : output.pcm : Halvern output file \n");
  std::printf(" Arg 3rd  : param.txt  : Tuning Parameter file \n");
  std::printf("%s", kRule);
}

// Ends the program with a message on standard error; the exit status is the count of characters
// written, as for every file that cannot be opened.
[[noreturn]] void fail_open(const char* message) {
  const int written = std::fprintf(stderr, "%s", message);
  std::fflush(stdout);
  std::exit(written);
}

// Ends the program with a message on standard error and exit status 1.
[[noreturn]] void fail_io(const char* message) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s", message);
  std::exit(1);
}

// Ends the program after a fatal arithmetic error: its message on standard output, status 1.
[[noreturn]] void fail_arithmetic(const ArithmeticFault& fault) {
  std::printf("%s", fault.what());
  std::fflush(stdout);
  std::exit(1);
}

void write_to_stdout(void*, const char* message) { std::fputs(message, stdout); }

// True when both paths name one existing regular file (through links or different spellings).
bool same_regular_file(const char* a, const char* b) {
  std::error_code error;
  return std::filesystem::is_regular_file(a, error) && std::filesystem::equivalent(a, b, error);
}

// Size of the input in bytes, or 0 when it cannot be known (a pipe or a terminal).
int64_t input_size(std::FILE* in) {
  if (fseeko(in, 0, SEEK_END) != 0) {
    std::clearerr(in);
    return 0;
  }
  const off_t size = ftello(in);
  if (fseeko(in, 0, SEEK_SET) != 0) fail_io("input file read error..\n");
  return size < 0 ? 0 : static_cast<int64_t>(size);
}

// Frame samples from the file's little-endian bytes, whatever the machine's byte order.
void samples_from_little_endian(const unsigned char* bytes, int16_t* samples) {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(samples, bytes, kFrameBytes);
  } else {
    for (int i = 0; i < FRAME_LENGTH; ++i) {
      samples[i] = static_cast<int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    }
  }
}

void samples_to_little_endian(const int16_t* samples, unsigned char* bytes) {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(bytes, samples, kFrameBytes);
  } else {
    for (int i = 0; i < FRAME_LENGTH; ++i) {
      const auto sample = static_cast<uint16_t>(samples[i]);
      bytes[2 * i] = static_cast<unsigned char>(sample & 0xff);
      bytes[2 * i + 1] = static_cast<unsigned char>(sample >> 8);
    }
  }
}

// The progress line "\rFrmCnt: <frames done> / <total frames>", printed after every frame. The
// text after the count never changes, so it is formatted once; the count is written by hand,
// which costs far less than a formatted print per frame.
class ProgressLine {
 public:
  explicit ProgressLine(int64_t total) {
    const int n = std::snprintf(suffix_, sizeof suffix_, " / %" PRId64, total);
    suffix_length_ = static_cast<size_t>(n);
  }

  void print(int64_t count) {
    char line[64] = "\rFrmCnt: ";
    char digits[24];
    size_t d = 0;
    uint64_t v = static_cast<uint64_t>(count);
    do {
      digits[d++] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v != 0);
    size_t at = 9;
    while (d > 0) line[at++] = digits[--d];
    std::memcpy(line + at, suffix_, suffix_length_);
    std::fwrite(line, 1, at + suffix_length_, stdout);
  }

 private:
  char suffix_[32];
  size_t suffix_length_;
};

}  // namespace

int main(int argc, char** argv) {
  std::printf("%s", kRule);
  std::printf(" Halvern Engine Simulation\t\n");
  std::printf("%s", kRule);
  if (argc != 4) {
    print_help(argc);
    return 0;
  }

  std::FILE* in = std::fopen(argv[1], "rb");
  if (in == nullptr) fail_open("input file error..\n");
  // Creating the output truncates it: never when it is the recording or the tuning file itself.
  if (same_regular_file(argv[2], argv[1]) || same_regular_file(argv[2], argv[3])) {
    fail_open("output file error..\n");
  }
  std::FILE* tuning = std::fopen(argv[3], "rb");
  if (tuning == nullptr) fail_open("input Tuning file error..\n");
  TuningSlots slots{};
  if (!tuning_load(tuning, &slots)) fail_open("input Tuning file error..\n");
  std::fclose(tuning);
  // The output is created (and an existing one truncated) only once the recording and the tuning
  // have been opened and read, so that a mistyped or swapped path destroys nothing.
  std::FILE* out = std::fopen(argv[2], "wb");
  if (out == nullptr) fail_open("output file error..\n");
  // Larger stream buffers than the default: fewer system calls per frame.
  static char in_buffer[1 << 16];
  static char out_buffer[1 << 16];
  std::setvbuf(in, in_buffer, _IOFBF, sizeof in_buffer);
  std::setvbuf(out, out_buffer, _IOFBF, sizeof out_buffer);

  std::printf(" [1] Input pcm path : %s \n", argv[1]);
  std::printf(" [2] Output pcm path : %s \n", argv[2]);
  std::printf(" [3] Tuning file path : %s \n", argv[3]);

  static int16_t input_frame[FRAME_CAPACITY];
  static int16_t output_frame[FRAME_CAPACITY];
  Engine* engine = &g_engine;
  engine_reset(engine);
  engine->diagnostics.write = write_to_stdout;
  engine_bind(engine, input_frame, output_frame);
  engine_set_stage_mask(engine, slots[STAGE_MASK_SLOT]);
  try {
    engine_configure(engine, slots);
  } catch (const ArithmeticFault& fault) {
    fail_arithmetic(fault);
  }

  const int64_t total_frames = input_size(in) / static_cast<int64_t>(kFrameBytes);
  ProgressLine progress(total_frames);
  std::printf("\n == Start Simulation ==\n\n");

  unsigned char bytes[kFrameBytes];
  int64_t frame_count = 0;
  for (;;) {
    if (std::fread(bytes, 1, kFrameBytes, in) < kFrameBytes) {
      if (std::ferror(in)) fail_io("input file read error..\n");
      break;
    }
    samples_from_little_endian(bytes, input_frame);
    try {
      engine_process_frame(engine, input_frame, output_frame);
    } catch (const ArithmeticFault& fault) {
      fail_arithmetic(fault);
    }
    samples_to_little_endian(output_frame, bytes);
    if (std::fwrite(bytes, 1, kFrameBytes, out) != kFrameBytes) {
      fail_io("output file write error..\n");
    }
    ++frame_count;
    progress.print(frame_count);
  }

  std::fclose(in);
  if (std::fflush(out) != 0 || std::ferror(out) || std::fclose(out) != 0) {
    fail_io("output file write error..\n");
  }
  std::printf("\n\n == Finished Simulation == \n\n");
  return 0;
}
