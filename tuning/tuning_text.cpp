#include "tuning/tuning_text.h"

#include <array>
#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

#include "tuning/slot_catalogue.h"

namespace halvern {
namespace {

// Where the loader read one slot's value.
struct Place {
  TuningValueRead read = TuningValueRead::kEndOfFile;
  TuningPosition value;  // where the value token starts (or the file ended)
  int64_t end = 0;       // kNumber: just after its last digit
  int16_t loaded = 0;
  std::string token;  // kNotANumber: the first bytes of the token that is no number
};

// Where the loader read each slot's value.
class ValuePlaces : public TuningListener {
 public:
  std::array<std::optional<Place>, TUNING_SLOT_COUNT> places;  // empty: the pair was never read
  TuningPosition file_end;
  int pairs = 0;

  void on_pair(const TuningPairRead& pair) override {
    Place& p = places[static_cast<size_t>(pair.slot)].emplace();
    p.read = pair.value_read;
    p.value = pair.value;
    p.end = pair.value_end;
    p.loaded = pair.slot_value;
    if (pair.value_read == TuningValueRead::kNotANumber) p.token = std::string(pair.value_text);
    // The token a failed value read stopped at is this pair's name.
    if (pair.slot > 0) {
      std::optional<Place>& before = places[static_cast<size_t>(pair.slot - 1)];
      if (before && before->read == TuningValueRead::kNotANumber && before->token.empty()) {
        before->token = std::string(pair.name_text.substr(0, 20));
      }
    }
  }
  void on_end(const TuningLoadEnd& end) override {
    file_end = end.end;
    pairs = end.pairs;
  }
};

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

// Runs the loader over text, telling listener (may be null).
TuningSlots load(std::string_view text, TuningListener* listener) {
  TuningSlots slots{};
  if (text.empty()) {  // fmemopen refuses an empty buffer on some C libraries
    if (listener != nullptr) listener->on_end(TuningLoadEnd{});
    return slots;
  }
  // Opened for reading only: the buffer is never written.
  std::unique_ptr<std::FILE, FileCloser> f(
      fmemopen(const_cast<char*>(text.data()), text.size(), "rb"));
  if (f == nullptr) throw std::bad_alloc();
  tuning_load(f.get(), &slots, listener);  // reading memory cannot fail
  return slots;
}

std::string slot_words(int slot) {
  return "slot " + std::to_string(slot) + " (" +
         std::string(SLOT_CATALOGUE[static_cast<size_t>(slot)].name) + ")";
}

std::string at_words(const TuningPosition& at) {
  return "line " + std::to_string(at.line) + ", column " + std::to_string(at.column);
}

}  // namespace

TuningSlots load_tuning_text(std::string_view text, TuningListener* listener) {
  return load(text, listener);
}

std::string rewrite_tuning_text(std::string_view text, std::span<const SlotChange> changes) {
  std::array<std::optional<int16_t>, TUNING_SLOT_COUNT> wanted;
  for (const SlotChange& c : changes) {
    if (c.slot < 0 || c.slot >= TUNING_SLOT_COUNT) {
      throw TuningTextError(-1, "there is no slot " + std::to_string(c.slot) + ": slots are 0 to " +
                                    std::to_string(TUNING_SLOT_COUNT - 1));
    }
    wanted[static_cast<size_t>(c.slot)] = c.value;
  }
  ValuePlaces places;
  load(text, &places);

  // The replacements, in the order of the text (slot n's value comes before slot n + 1's).
  struct Replacement {
    int64_t from, to;
    std::string digits;
  };
  std::vector<Replacement> replacements;
  for (int k = 0; k < TUNING_SLOT_COUNT; ++k) {
    const std::optional<int16_t>& value = wanted[static_cast<size_t>(k)];
    if (!value) continue;
    const auto& place = places.places[static_cast<size_t>(k)];
    if (!place) {
      throw TuningTextError(k, slot_words(k) + " has no value in the file: it ends (" +
                                   at_words(places.file_end) + ") after " +
                                   std::to_string(places.pairs) +
                                   " pairs; add the missing lines up to this slot, then set it");
    }
    switch (place->read) {
      case TuningValueRead::kNumber: break;
      case TuningValueRead::kEndOfFile:
        throw TuningTextError(k, slot_words(k) + " has no value in the file: it ends (" +
                                     at_words(place->value) + ") after its name; add the value");
      case TuningValueRead::kNotANumber:
        throw TuningTextError(
            k, slot_words(k) + " has no value in the file: at " + at_words(place->value) + " " +
                   (place->token.empty() ? "the token" : "'" + place->token + "'") +
                   " is not a number (halvern check tells more); mend the file, "
                   "then set the slot");
    }
    if (place->loaded == *value) continue;  // already so: the token stays as written
    replacements.push_back({place->value.offset, place->end, std::to_string(*value)});
  }

  std::string out;
  out.reserve(text.size() + 8 * replacements.size());
  size_t at = 0;
  for (const Replacement& r : replacements) {
    out.append(text.substr(at, static_cast<size_t>(r.from) - at));
    out += r.digits;
    at = static_cast<size_t>(r.to);
  }
  out.append(text.substr(at));
  return out;
}

std::string rewrite_tuning_text(std::string_view text, const TuningSlots& slots) {
  const TuningSlots loaded = load_tuning_text(text);
  std::vector<SlotChange> changes;
  for (int k = 0; k < TUNING_SLOT_COUNT; ++k) {
    if (slots[static_cast<size_t>(k)] != loaded[static_cast<size_t>(k)]) {
      changes.push_back({k, slots[static_cast<size_t>(k)]});
    }
  }
  return rewrite_tuning_text(text, changes);
}

}  // namespace halvern
