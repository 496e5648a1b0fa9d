#include "tuning/tuning.h"

#include <cstddef>
#include <string>

namespace halvern {
namespace {

// The white space of the C locale: space, tab, newline, vertical tab, form feed, carriage return.
bool is_space(int c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool is_digit(int c) { return c >= '0' && c <= '9'; }

// Where the next byte lies, kept only by a tracking reader.
struct Place {
  TuningPosition next;   // the next byte's position (word: the words started so far)
  bool in_word = false;  // the last byte read was not white space
};

// A byte reader with one byte of push-back, reading the file in blocks so that a name token of
// any length costs nothing but the time to skip it. Once the end of the file (or an error) is met
// every later read sees the end too. With kTrack it also keeps the position of every byte (for
// the listener); without, it does nothing more than read.
template <bool kTrack>
struct TokenReader {
  std::FILE* file;
  unsigned char buffer[4096];
  size_t position = 0;
  size_t length = 0;
  bool ended = false;
  bool failed = false;
  Place place{};
  Place before{};  // the place before the last byte read, for unget() and token starts

  int get() {
    if (position == length) {
      if (ended) return EOF;
      length = std::fread(buffer, 1, sizeof buffer, file);
      position = 0;
      if (length == 0) {
        ended = true;
        failed = std::ferror(file) != 0;
        return EOF;
      }
    }
    const int c = buffer[position++];
    if constexpr (kTrack) {
      before = place;
      ++place.next.offset;
      if (c == '\n') {
        ++place.next.line;
        place.next.column = 1;
      } else {
        ++place.next.column;
      }
      const bool space = is_space(c);
      if (!space && !place.in_word) ++place.next.word;
      place.in_word = !space;
    }
    return c;
  }

  // Pushes back the byte that get() just returned (never EOF).
  void unget() {
    --position;
    if constexpr (kTrack) place = before;
  }

  // The start of the token whose first byte get() just returned.
  TuningPosition token_start() const {
    TuningPosition p = before.next;
    p.word = place.next.word - 1;
    return p;
  }

  // The end of the file (or of what could be read), once get() has returned EOF.
  TuningPosition end_position() const {
    TuningPosition p = place.next;
    p.word = place.next.word;
    return p;
  }
};

template <bool kTrack>
int skip_space(TokenReader<kTrack>* in) {
  int c = in->get();
  while (is_space(c)) c = in->get();
  return c;
}

// What a tracking read keeps for the listener; nothing for a plain one.
struct PairNotes {
  TuningPairRead pair;
  std::string name_text;
  std::string value_text;
};
struct NoNotes {};

// One "%s %d" read. Returns false when the name could not be read (end of file); *value is set
// only when an integer was read.
template <bool kTrack, typename Notes>
bool read_pair(TokenReader<kTrack>* in, int16_t* value, [[maybe_unused]] Notes* notes) {
  int c = skip_space(in);
  if (c == EOF) return false;
  if constexpr (kTrack) {
    notes->pair.name = in->token_start();
    notes->name_text.clear();
    while (c != EOF && !is_space(c)) {
      if (notes->name_text.size() < TUNING_TEXT_KEPT)
        notes->name_text.push_back(static_cast<char>(c));
      c = in->get();
    }
    const int64_t end = c == EOF ? in->end_position().offset : in->before.next.offset;
    notes->pair.name_length = end - notes->pair.name.offset;
    notes->value_text.clear();
  } else {
    while (c != EOF && !is_space(c)) c = in->get();  // the name, discarded
  }

  c = skip_space(in);
  if constexpr (kTrack) {
    notes->pair.value = c == EOF ? in->end_position() : in->token_start();
  }
  bool negative = false;
  if (c == '+' || c == '-') {  // a sign is consumed even when no digit follows
    negative = c == '-';
    if constexpr (kTrack) notes->value_text.push_back(static_cast<char>(c));
    c = in->get();
  }
  if (!is_digit(c)) {
    if constexpr (kTrack) {
      notes->pair.value_read = c == EOF && notes->value_text.empty() ? TuningValueRead::kEndOfFile
                                                                     : TuningValueRead::kNotANumber;
    }
    if (c != EOF) in->unget();
    return true;
  }
  // The value modulo 65536: exact for any number of digits.
  uint16_t low = 0;
  [[maybe_unused]] uint64_t magnitude = 0;
  [[maybe_unused]] bool fits = true;
  while (is_digit(c)) {
    low = static_cast<uint16_t>(low * 10u + static_cast<unsigned>(c - '0'));
    if constexpr (kTrack) {
      ++notes->pair.digits;
      if (notes->value_text.size() < TUNING_TEXT_KEPT)
        notes->value_text.push_back(static_cast<char>(c));
      const auto digit = static_cast<uint64_t>(c - '0');
      if (magnitude > (uint64_t{1} << 62) / 10) fits = false;
      if (fits) magnitude = magnitude * 10 + digit;
    }
    c = in->get();
  }
  if (c != EOF) in->unget();
  if (negative) low = static_cast<uint16_t>(0u - low);
  *value = static_cast<int16_t>(low);
  if constexpr (kTrack) {
    notes->pair.value_read = TuningValueRead::kNumber;
    notes->pair.value_end = in->end_position().offset;
    notes->pair.exact_known = fits;
    notes->pair.exact =
        negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
  }
  return true;
}

}  // namespace

bool tuning_load(std::FILE* f, TuningSlots* slots) {
  slots->fill(0);
  TokenReader<false> in{f, {}, 0, 0, false, false, {}, {}};
  NoNotes notes;
  for (int n = 0; n < TUNING_SLOT_COUNT; ++n) {
    if (!read_pair(&in, &(*slots)[n], &notes)) break;
  }
  return !in.failed;
}

bool tuning_load(std::FILE* f, TuningSlots* slots, TuningListener* listener) {
  if (listener == nullptr) return tuning_load(f, slots);
  slots->fill(0);
  TokenReader<true> in{f, {}, 0, 0, false, false, {}, {}};
  PairNotes notes;
  TuningLoadEnd end;
  for (int n = 0; n < TUNING_SLOT_COUNT; ++n) {
    notes.pair = TuningPairRead{};
    notes.pair.slot = n;
    if (!read_pair(&in, &(*slots)[n], &notes)) break;
    notes.pair.name_text = notes.name_text;
    notes.pair.value_text = notes.value_text;
    notes.pair.slot_value = (*slots)[n];
    listener->on_pair(notes.pair);
    ++end.pairs;
  }
  if (end.pairs == TUNING_SLOT_COUNT) {
    const int c = skip_space(&in);
    if (c != EOF) {
      end.more_after = true;
      end.next = in.token_start();
    }
  }
  end.end = in.end_position();
  end.failed = in.failed;
  listener->on_end(end);
  return !in.failed;
}

}  // namespace halvern
