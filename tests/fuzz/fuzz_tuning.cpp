// Fuzz target: the tuning loader on arbitrary bytes.
//
// The loader with a listener must give the same slots as without one.
// Besides running under the sanitizers, it checks the loader against the C library's own
// fscanf(f, "%*s %d") on the same bytes, whenever every run of digits is short enough (nine
// digits or fewer) for the library's conversion to be exact.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "tuning/tuning.h"

namespace {

bool has_long_digit_run(const uint8_t* data, size_t size) {
  size_t run = 0;
  for (size_t i = 0; i < size; ++i) {
    run = (data[i] >= '0' && data[i] <= '9') ? run + 1 : 0;
    if (run > 9) return true;
  }
  return false;
}

// Checks what the listener hears against the slots.
struct Listener : halvern::TuningListener {
  halvern::TuningSlots heard{};
  int pairs = 0;
  void on_pair(const halvern::TuningPairRead& p) override {
    if (p.slot != pairs++) std::abort();
    heard[static_cast<size_t>(p.slot)] = p.slot_value;
  }
  void on_end(const halvern::TuningLoadEnd& end) override {
    if (end.pairs != pairs) std::abort();
  }
};

std::FILE* open_bytes(const uint8_t* data, size_t size) {
  std::FILE* f = std::tmpfile();
  if (f == nullptr) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
  std::rewind(f);
  return f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::FILE* f = open_bytes(data, size);
  halvern::TuningSlots slots;
  if (!halvern::tuning_load(f, &slots)) std::abort();
  std::fclose(f);

  f = open_bytes(data, size);
  halvern::TuningSlots listened;
  Listener listener;
  if (!halvern::tuning_load(f, &listened, &listener)) std::abort();
  std::fclose(f);
  if (listened != slots || listener.heard != slots) std::abort();

  if (has_long_digit_run(data, size)) return 0;
  halvern::TuningSlots expected{};
  f = open_bytes(data, size);
  for (auto& slot : expected) {
    int value = 0;
    const int read = std::fscanf(f, "%*s %d", &value);
    if (read == EOF) break;
    if (read == 1) slot = static_cast<int16_t>(value);
  }
  std::fclose(f);
  if (slots != expected) std::abort();
  return 0;
}
