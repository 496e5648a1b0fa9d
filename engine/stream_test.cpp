#include "engine/stream.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace halvern {
namespace {

const std::string kExamples = std::string(HALVERN_SOURCE_DIR) + "/examples/";

std::vector<int16_t> example_samples() {
  std::ifstream in(kExamples + "speech_howl.pcm", std::ios::binary);
  const std::vector<char> bytes{std::istreambuf_iterator<char>(in), {}};
  std::vector<int16_t> samples(bytes.size() / 2);
  for (size_t i = 0; i < samples.size(); ++i) {
    samples[i] = static_cast<int16_t>(static_cast<uint8_t>(bytes[2 * i]) |
                                      (static_cast<uint8_t>(bytes[2 * i + 1]) << 8));
  }
  return samples;
}

TuningSlots example_slots() {
  std::FILE* f = std::fopen((kExamples + "tuning.txt").c_str(), "rb");
  TuningSlots slots{};
  EXPECT_TRUE(f != nullptr && tuning_load(f, &slots));
  if (f != nullptr) std::fclose(f);
  return slots;
}

// The whole input frame by frame through one engine, as halvern-sim runs it.
std::vector<int16_t> one_shot(const std::vector<int16_t>& input, TuningSlots slots) {
  auto engine = std::make_unique<Engine>();
  int16_t in[FRAME_CAPACITY] = {};
  int16_t out[FRAME_CAPACITY] = {};
  engine_reset(engine.get());
  engine_bind(engine.get(), in, out);
  engine_set_stage_mask(engine.get(), slots[STAGE_MASK_SLOT]);
  engine_configure(engine.get(), slots);
  std::vector<int16_t> output;
  for (size_t at = 0; at + FRAME_LENGTH <= input.size(); at += FRAME_LENGTH) {
    std::copy(input.begin() + static_cast<ptrdiff_t>(at),
              input.begin() + static_cast<ptrdiff_t>(at + FRAME_LENGTH), in);
    engine_process_frame(engine.get(), in, out);
    output.insert(output.end(), out, out + FRAME_LENGTH);
  }
  return output;
}

std::vector<int16_t> chunked(EngineStream* stream, const std::vector<int16_t>& input,
                             std::mt19937* rng, size_t max_chunk, bool pad) {
  std::vector<int16_t> output;
  for (size_t at = 0; at < input.size();) {
    const size_t n =
        std::min(input.size() - at, std::uniform_int_distribution<size_t>(1, max_chunk)(*rng));
    EXPECT_EQ(stream->output_size(n), (stream->buffered() + n) / FRAME_LENGTH * FRAME_LENGTH);
    stream->process(std::span(input.data() + at, n), &output);
    at += n;
    EXPECT_EQ(output.size() + stream->buffered(), at);
  }
  stream->flush(pad, &output);
  return output;
}

TEST(EngineStream, AnyChunkingGivesTheOneShotSamples) {
  std::vector<int16_t> input = example_samples();
  input.resize(input.size() - 123);  // a partial frame at the end
  const TuningSlots slots = example_slots();
  const std::vector<int16_t> expect = one_shot(input, slots);
  ASSERT_EQ(expect.size(), input.size() / FRAME_LENGTH * FRAME_LENGTH);

  EngineStream stream(slots);
  std::mt19937 rng(7);
  for (const size_t max_chunk : {size_t{1}, size_t{7}, size_t{320}, size_t{641}, size_t{5000}}) {
    EXPECT_EQ(chunked(&stream, input, &rng, max_chunk, false), expect)
        << "chunks up to " << max_chunk;
    EXPECT_EQ(stream.buffered(), 0u);  // flush reset the stream for the next round
  }

  // Padding processes the partial frame as zeros after it, as a zero-padded input would.
  std::vector<int16_t> padded = input;
  padded.resize((input.size() / FRAME_LENGTH + 1) * FRAME_LENGTH, 0);
  EXPECT_EQ(chunked(&stream, input, &rng, 5000, true), one_shot(padded, slots));
}

TEST(EngineStream, DelayIsWhereAnImpulseComesOut) {
  // An impulse through each stage alone and through all: it comes out delay() samples later
  // (the tuning is all zeros: unity taps and gains), and no more than latency() samples of
  // input after it went in, fed one sample at a time.
  std::vector<int16_t> input(4 * FRAME_LENGTH, 0);
  const size_t at = FRAME_LENGTH + 7;  // the 8th sample of a frame
  input[at] = 8000;
  for (const int16_t mask : {STAGE_BIT_HIGHPASS, STAGE_BIT_DYNAMICS, STAGE_BIT_EQUALIZER,
                             STAGE_BIT_SUPPRESSOR, STAGE_BIT_DITHER, int16_t{31}}) {
    TuningSlots slots{};
    slots[STAGE_MASK_SLOT] = mask;
    EngineStream stream(slots);
    std::vector<int16_t> output;
    size_t fed = 0;
    for (; fed < input.size() && output.size() <= at + static_cast<size_t>(stream.delay()); ++fed) {
      stream.process(std::span(&input[fed], 1), &output);
    }
    size_t loudest = 0;
    for (size_t i = 0; i < output.size(); ++i) {
      if (std::abs(output[i]) > std::abs(output[loudest])) loudest = i;
    }
    EXPECT_EQ(loudest, at + static_cast<size_t>(stream.delay())) << "mask " << mask;
    EXPECT_LE(fed - 1 - at, static_cast<size_t>(stream.latency())) << "mask " << mask;
  }
  TuningSlots all{};
  all[STAGE_MASK_SLOT] = 31;
  EXPECT_EQ(EngineStream(all).delay(), 142);
  EXPECT_EQ(EngineStream(all).latency(), 461);
}

TEST(EngineStream, StageMaskOverrideResetAndObserver) {
  const std::vector<int16_t> input = example_samples();
  TuningSlots slots = example_slots();
  const int16_t mask = STAGE_BIT_DYNAMICS | STAGE_BIT_SUPPRESSOR;

  struct Counter : EngineObserver {
    int signals = 0;
    int frames = 0;
    void on_signal(ChainPosition, const int16_t*, int n) override { signals += n == FRAME_LENGTH; }
    void on_frame_end(const Engine&) override { ++frames; }
  } counter;
  EngineStream stream(slots, mask);
  stream.set_observer(&counter);
  std::vector<int16_t> first;
  stream.process(std::span(input.data(), 1000), &first);
  stream.reset();  // drops the 40 buffered samples and the engine's state
  EXPECT_EQ(stream.buffered(), 0u);
  std::vector<int16_t> output;
  stream.process(input, &output);

  slots[STAGE_MASK_SLOT] = mask;
  EXPECT_EQ(output, one_shot(input, slots));
  const int frames = static_cast<int>(input.size()) / FRAME_LENGTH + 3;
  EXPECT_EQ(counter.frames, frames);  // the observer stays through reset
  EXPECT_EQ(counter.signals, frames * CHAIN_POSITION_COUNT);
  EXPECT_EQ(stream.frames(), frames - 3);
}

}  // namespace
}  // namespace halvern
