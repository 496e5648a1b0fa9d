#include "tuning/tuning.h"

#include <cstddef>

namespace halvern {
namespace {

// A byte reader with one byte of push-back, reading the file in blocks so that a name token of
// any length costs nothing but the time to skip it. Once the end of the file (or an error) is met
// every later read sees the end too.
struct TokenReader {
  std::FILE* file;
  unsigned char buffer[4096];
  size_t position = 0;
  size_t length = 0;
  bool ended = false;
  bool failed = false;

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
    return buffer[position++];
  }

  // Pushes back the byte that get() just returned (never EOF).
  void unget() { --position; }
};

// The white space of the C locale: space, tab, newline, vertical tab, form feed, carriage return.
bool is_space(int c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool is_digit(int c) { return c >= '0' && c <= '9'; }

int skip_space(TokenReader* in) {
  int c = in->get();
  while (is_space(c)) c = in->get();
  return c;
}

// One "%s %d" read. Returns false when the name could not be read (end of file); *value is set
// only when an integer was read.
bool read_pair(TokenReader* in, int16_t* value) {
  int c = skip_space(in);
  if (c == EOF) return false;
  while (c != EOF && !is_space(c)) c = in->get();  // the name, discarded

  c = skip_space(in);
  bool negative = false;
  if (c == '+' || c == '-') {  // a sign is consumed even when no digit follows
    negative = c == '-';
    c = in->get();
  }
  if (!is_digit(c)) {
    if (c != EOF) in->unget();
    return true;
  }
  // The value modulo 65536: exact for any number of digits.
  uint16_t low = 0;
  while (is_digit(c)) {
    low = static_cast<uint16_t>(low * 10u + static_cast<unsigned>(c - '0'));
    c = in->get();
  }
  if (c != EOF) in->unget();
  if (negative) low = static_cast<uint16_t>(0u - low);
  *value = static_cast<int16_t>(low);
  return true;
}

}  // namespace

bool tuning_load(std::FILE* f, TuningSlots* slots) {
  slots->fill(0);
  TokenReader in{f, {}, 0, 0, false, false};
  for (int n = 0; n < TUNING_SLOT_COUNT; ++n) {
    if (!read_pair(&in, &(*slots)[n])) break;
  }
  return !in.failed;
}

}  // namespace halvern
