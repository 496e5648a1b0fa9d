#include "tools/review/tuning_review.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "engine/engine.h"
#include "fixedpoint/diagnostics.h"
#include "tools/review/stage_settings.h"
#include "tuning/slot_catalogue.h"
#include "tuning/tuning_text.h"

namespace halvern::tools {
namespace {

constexpr const char* SIM_STOPS_ON_FILE = "halvern-sim stops with \"input Tuning file error..\"";

// One pair as the loader read it, with its texts kept.
struct PairRecord {
  TuningPairRead read;
  std::string name;
  std::string value_text;
};

class Recorder : public TuningListener {
 public:
  std::vector<PairRecord> pairs;
  TuningLoadEnd end;
  bool byte_order_mark = false;  // the first name began with one, which is left out of it

  void on_pair(const TuningPairRead& pair) override {
    pairs.push_back(PairRecord{pair, std::string(pair.name_text), std::string(pair.value_text)});
    PairRecord& p = pairs.back();
    p.read.name_text = {};
    p.read.value_text = {};
    constexpr std::string_view MARK = "\xef\xbb\xbf";
    if (pair.slot == 0 && p.name.size() > MARK.size() && p.name.starts_with(MARK)) {
      byte_order_mark = true;
      p.name.erase(0, MARK.size());
      p.read.name_length -= static_cast<int64_t>(MARK.size());
    }
  }
  void on_end(const TuningLoadEnd& e) override { end = e; }
};

const SlotInfo& info_of(int slot) { return SLOT_CATALOGUE[static_cast<size_t>(slot)]; }
std::string name_of(int slot) { return std::string(info_of(slot).name); }
std::string slot_words(int slot) {
  return "slot " + std::to_string(slot) + " (" + name_of(slot) + ")";
}

// A token as printable text: non-printable bytes as \xNN, cut after 40 bytes ("...").
std::string printable(std::string_view text, int64_t full_length) {
  constexpr size_t SHOWN = 40;
  std::string q;
  for (size_t i = 0; i < text.size() && i < SHOWN; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      q.push_back(static_cast<char>(c));
    } else {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\x%02x", c);
      q += esc;
    }
  }
  if (full_length > static_cast<int64_t>(std::min(text.size(), SHOWN))) q += "...";
  return q;
}

// A token for a message: quoted, with its length when it is cut.
std::string quoted(std::string_view text, int64_t full_length) {
  const std::string p = printable(text, full_length);
  const bool cut = p.size() >= 3 && p.compare(p.size() - 3, 3, "...") == 0 &&
                   full_length > static_cast<int64_t>(std::min<size_t>(text.size(), 40));
  return "'" + p + "'" + (cut ? " (" + std::to_string(full_length) + " bytes)" : "");
}

std::string quoted_name(const PairRecord& p) { return quoted(p.name, p.read.name_length); }

// A slot value in the tuning engineer's units, from the catalogue's unit.
std::string in_units(const SlotInfo& info, int v) {
  const std::string_view u = info.unit;
  if (u == "Hz") return std::to_string(v) + " Hz";
  if (u == "dB") return std::to_string(v) + " dB";
  if (u == "0.1 dB") return number_text(v / 10.0, 1) + " dB";
  if (u == "dB below full scale") return number_text(-v, 0) + " dBFS";
  if (u == "0.1 dB below full scale") return number_text(-v / 10.0, 1) + " dBFS";
  if (u == "ratio x 10") return number_text(v / 10.0, 1) + ":1";
  return std::to_string(v);
}

std::string slot_range(int first, int last) {
  return first == last ? "slot " + std::to_string(first)
                       : "slots " + std::to_string(first) + "-" + std::to_string(last);
}

bool stage_on(int16_t mask, SlotStage stage) {
  const int16_t bit = slot_stage_bit(stage);
  return bit == 0 || (mask & bit) != 0;
}

bool name_matches(const PairRecord& p, int slot) {
  return p.read.name_length == static_cast<int64_t>(p.name.size()) && p.name == info_of(slot).name;
}

// The slot whose name p carries, or -1.
int owner_of(const PairRecord& p) {
  return p.read.name_length == static_cast<int64_t>(p.name.size()) ? find_slot(p.name) : -1;
}

// Whether pair p's name is the rest of the previous pair's value token: the token a failed read
// stopped at, or letters glued to the digits read.
bool name_from_previous_value(const PairRecord& prev, const PairRecord& p) {
  if (prev.read.value_read == TuningValueRead::kNotANumber)
    return p.read.name.word == prev.read.value.word;
  if (prev.read.value_read == TuningValueRead::kNumber)
    return p.read.name.offset == prev.read.value_end;
  return false;
}

// The longest stretch of lines whose order check recognises as shuffled rather than shifted.
constexpr size_t MAX_PERMUTED_SPAN = 8;

// The slot the file meant a value for: in a file of name-value pairs the value of slot n is
// word 2n + 1.
int meant_slot(const PairRecord& p) { return static_cast<int>(p.read.value.word / 2); }

class Reviewer {
 public:
  explicit Reviewer(TuningReview* r) : r_(r) {}

  void add(Severity s, const TuningPosition& at, int slot, std::string message) {
    r_->diagnostics.push_back(Diagnostic{s, at.line, at.column, slot, std::move(message)});
  }
  void add_file(Severity s, std::string message) {
    r_->diagnostics.push_back(Diagnostic{s, 0, 0, -1, std::move(message)});
  }

  // Where the slot's value was read, or where the file ended for a slot never read.
  TuningPosition value_position(int slot) const {
    if (slot < static_cast<int>(rec_->pairs.size())) {
      const TuningPairRead& p = rec_->pairs[static_cast<size_t>(slot)].read;
      return p.value_read == TuningValueRead::kEndOfFile ? p.name : p.value;
    }
    return rec_->end.end;
  }

  void load(const Recorder& rec) {
    rec_ = &rec;
    for (const PairRecord& p : rec.pairs) {
      SlotReview& s = r_->slot_reviews[static_cast<size_t>(p.read.slot)];
      s.file_name = printable(p.name, p.read.name_length);
      const TuningPosition at = value_position(p.read.slot);
      s.line = at.line;
      s.column = at.column;
    }
    for (int k = 0; k < TUNING_SLOT_COUNT; ++k) {
      r_->slot_reviews[static_cast<size_t>(k)].value = r_->slots[static_cast<size_t>(k)];
    }
  }

  void value_faults();
  void wrapped_values();
  void names();
  void file_length();
  void configure_and_ranges();

 private:
  std::string shift_summary(size_t from, size_t to) const;
  std::string value_fault_text(size_t n, TuningPosition* at) const;
  std::string consequences_text(size_t n, size_t* next) const;
  void name_mismatch(size_t k, size_t e);
  void skipped_group_finding(int slot, const Engine& engine, const std::string& where);
  void cut_off_finding(int slot, const Engine& engine, const std::string& where, bool tell);
  std::vector<int> configure(Engine* engine);
  void wrapped_band_thresholds(const Engine& engine);
  void stages_off_but_set();
  size_t permuted_block(size_t k) const;
  void permutation(size_t k, size_t last);
  void range_finding(int slot, const Engine& engine);
  std::string skipped_effect(int group_first, const Engine& engine) const;

  TuningReview* r_;
  const Recorder* rec_ = nullptr;
  std::vector<size_t> fault_origins_;  // the pairs whose value faults are reported
};

// Where values land in other slots than meant, over pairs [from, to): "slots 3-84 hold the values
// meant for slots 2-83".
std::string Reviewer::shift_summary(size_t from, size_t to) const {
  std::string text;
  size_t k = from;
  int runs = 0;
  while (k < to) {
    const PairRecord& p = rec_->pairs[k];
    const int d = p.read.slot - meant_slot(p);
    if (p.read.value_read != TuningValueRead::kNumber || d == 0) {
      ++k;
      continue;
    }
    size_t e = k;
    while (e + 1 < to && rec_->pairs[e + 1].read.value_read == TuningValueRead::kNumber &&
           rec_->pairs[e + 1].read.slot - meant_slot(rec_->pairs[e + 1]) == d) {
      ++e;
    }
    const int a = p.read.slot;
    const int b = rec_->pairs[e].read.slot;
    if (runs++ > 0) text += ";";
    text += " from line " + std::to_string(p.read.value.line) + " on, every value lands " +
            std::to_string(std::abs(d)) + (std::abs(d) == 1 ? " slot " : " slots ") +
            (d > 0 ? "later" : "earlier") + " than its line says: " +
            (a == b ? "slot " + std::to_string(a) + " holds the value meant for slot " +
                          std::to_string(a - d)
                    : "slots " + std::to_string(a) + "-" + std::to_string(b) +
                          " hold the values meant for slots " + std::to_string(a - d) + "-" +
                          std::to_string(b - d));
    if (b == TUNING_SLOT_COUNT - 1 && d > 0 && rec_->end.more_after) {
      text += d == 1 ? ", and the last value is ignored"
                     : ", and the last " + std::to_string(d) + " values are ignored";
    }
    k = e + 1;
  }
  return text.empty() ? "" : ";" + text;
}

void Reviewer::value_faults() {
  const auto& pairs = rec_->pairs;
  // Each fault that starts a chain: the pairs after it whose names are what was left of the
  // faulty value, and whose values fail too, belong to it.
  std::vector<size_t>& origins = fault_origins_;
  for (size_t k = 0; k < pairs.size(); ++k) {
    const PairRecord& p = pairs[k];
    const bool consequence = k > 0 && name_from_previous_value(pairs[k - 1], p);
    const bool glued = p.read.value_read == TuningValueRead::kNumber && k + 1 < pairs.size() &&
                       pairs[k + 1].read.name.offset == p.read.value_end;
    if (glued || (p.read.value_read != TuningValueRead::kNumber && !consequence))
      origins.push_back(k);
  }
  for (size_t i = 0; i < origins.size(); ++i) {
    const size_t n = origins[i];
    TuningPosition at = pairs[n].read.value;
    std::string m = value_fault_text(n, &at);
    size_t k = n + 1;
    m += consequences_text(n, &k);
    const size_t to = i + 1 < origins.size() ? origins[i + 1] : pairs.size();
    m += shift_summary(k, to);
    add(Severity::kError, at, pairs[n].read.slot, m);
  }
}

// What went wrong with the value of pair n, told where *at points (moved when the fault is
// better shown elsewhere).
std::string Reviewer::value_fault_text(size_t n, TuningPosition* at) const {
  const auto& pairs = rec_->pairs;
  const PairRecord& p = pairs[n];
  const int slot = p.read.slot;
  std::string m;
  switch (p.read.value_read) {
    case TuningValueRead::kNumber: {
      const PairRecord& next = pairs[n + 1];
      const int64_t sign = p.value_text[0] == '-' || p.value_text[0] == '+';
      m = quoted(p.value_text + next.name, sign + p.read.digits + next.read.name_length) +
          " is read as the number " + std::to_string(p.read.slot_value) + " followed by the name " +
          quoted_name(next) +
          " (values are whole numbers, with a "
          "blank after them): " +
          slot_words(slot) + " holds " + std::to_string(p.read.slot_value);
      break;
    }
    case TuningValueRead::kEndOfFile:
      *at = p.read.name;
      m = "no value after " + quoted_name(p) + ": the file ends, and " + slot_words(slot) +
          " stays 0";
      break;
    case TuningValueRead::kNotANumber: {
      const bool has_next = n + 1 < pairs.size();
      const std::string token = has_next
                                    ? quoted_name(pairs[n + 1])
                                    : "the token at column " + std::to_string(p.read.value.column);
      if (!p.value_text.empty()) {
        m = "'" + p.value_text + "' has no digits after its sign";
      } else if (p.read.value.line != p.read.name.line) {
        // Point where the value should have been: just after the name.
        *at = p.read.name;
        at->column += p.read.name_length;
        m = "no value after " + quoted_name(p) + " on line " + std::to_string(p.read.name.line) +
            ", and the next token " + token + " (line " + std::to_string(p.read.value.line) +
            ") is not a number";
      } else {
        m = token + " is not a number";
      }
      m += ": " + slot_words(slot) + " stays 0";
      break;
    }
  }
  // A number where the name should be: the line has no name, and its value was taken for one.
  const bool numeric_name =
      !p.name.empty() && p.read.name_length == static_cast<int64_t>(p.name.size()) &&
      std::all_of(p.name.begin() + (p.name[0] == '-' || p.name[0] == '+'), p.name.end(),
                  [](char c) { return c >= '0' && c <= '9'; }) &&
      p.name.size() > static_cast<size_t>(p.name[0] == '-' || p.name[0] == '+');
  if (numeric_name && p.read.value_read == TuningValueRead::kNotANumber && p.value_text.empty()) {
    *at = p.read.name;
    m = "line " + std::to_string(p.read.name.line) + " holds no name: the number " +
        quoted_name(p) + " is taken as the name of " + slot_words(slot) + " and the next token" +
        (n + 1 < pairs.size() ? " " + quoted_name(pairs[n + 1]) : std::string()) + " (line " +
        std::to_string(p.read.value.line) +
        ") as its value, which is not a number: " + slot_words(slot) + " stays 0";
  }
  return m;
}

// The pairs after pair n whose names are what was left of its fault, up to the first that reads
// a value: the first told in full, the rest in one sentence. *next ends past the last of them.
std::string Reviewer::consequences_text(size_t n, size_t* next) const {
  const auto& pairs = rec_->pairs;
  std::string m;
  size_t& k = *next;
  size_t failed_after = 0;
  while (k < pairs.size() && name_from_previous_value(pairs[k - 1], pairs[k])) {
    const PairRecord& q = pairs[k];
    if (k == n + 1 || q.read.value_read == TuningValueRead::kNumber) {
      if (failed_after > 0) {
        m += ", and so on: " +
             slot_range(q.read.slot - static_cast<int>(failed_after), q.read.slot - 1) +
             " stay 0 too, each name taking the next token as its value";
        failed_after = 0;
      }
      m += ", " + quoted_name(q) + " becomes the name of " + slot_words(q.read.slot);
      if (q.read.value_read == TuningValueRead::kNumber) break;
      m += q.read.value_read == TuningValueRead::kEndOfFile
               ? " and the file ends, so it stays 0"
               : ", whose value read fails on " +
                     (k + 1 < pairs.size() ? quoted_name(pairs[k + 1])
                                           : std::string("the next token")) +
                     " too, so it stays 0";
    } else {
      ++failed_after;
    }
    ++k;
  }
  if (failed_after > 0) {
    m += ", and so on: " +
         slot_range(pairs[k - 1].read.slot - static_cast<int>(failed_after) + 1,
                    pairs[k - 1].read.slot) +
         " stay 0 too";
  }
  return m;
}

void Reviewer::wrapped_values() {
  for (const PairRecord& p : rec_->pairs) {
    if (p.read.value_read != TuningValueRead::kNumber) continue;
    if (p.read.exact_known && p.read.exact >= INT16_MIN && p.read.exact <= INT16_MAX) continue;
    add(Severity::kWarning, p.read.value, p.read.slot,
        quoted(p.value_text, p.read.digits + (p.value_text[0] == '-' || p.value_text[0] == '+')) +
            " is outside -32768..32767: the loader keeps its low 16 bits, so " +
            slot_words(p.read.slot) + " holds " + std::to_string(p.read.slot_value));
  }
}

void Reviewer::names() {
  const auto& pairs = rec_->pairs;
  if (rec_->byte_order_mark) {
    add(Severity::kNote, pairs[0].read.name, -1,
        "the file starts with a UTF-8 byte order mark, which the loader reads as part of the "
        "first name: harmless");
  }
  // Control bytes never belong in a tuning file: say once that this one is not text.
  for (const PairRecord& p : pairs) {
    const bool control = std::any_of(p.name.begin(), p.name.end(), [](char c) {
      return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
    });
    if (control) {
      add(Severity::kWarning, p.read.name, p.read.slot,
          "the name " + quoted_name(p) +
              " holds control bytes: this does not look like a "
              "tuning file (text of names and whole numbers), but halvern-sim reads it all the "
              "same");
      break;
    }
  }
  const bool catalogue_names = std::any_of(pairs.begin(), pairs.end(), [](const PairRecord& p) {
    return p.read.name_length == static_cast<int64_t>(p.name.size()) && find_slot(p.name) >= 0;
  });
  if (!catalogue_names) {
    if (!pairs.empty()) {
      add(Severity::kNote, pairs[0].read.name, -1,
          "no name in this file is a slot name of the catalogue, so names are not checked; "
          "only the order of the values counts");
    }
    return;
  }
  for (size_t k = 0; k < pairs.size(); ++k) {
    const PairRecord& p = pairs[k];
    if (name_matches(p, p.read.slot)) continue;
    // The name is the rest of a faulty value, or its pair's value fault is reported already.
    if (k > 0 && name_from_previous_value(pairs[k - 1], p)) continue;
    if (std::find(fault_origins_.begin(), fault_origins_.end(), k) != fault_origins_.end())
      continue;
    if (const size_t last = permuted_block(k); last > k) {
      permutation(k, last);
      k = last;
      continue;
    }
    size_t e = k;
    while (e + 1 < pairs.size() && !name_matches(pairs[e + 1], pairs[e + 1].read.slot) &&
           !name_from_previous_value(pairs[e], pairs[e + 1])) {
      ++e;
    }
    name_mismatch(k, e);
    k = e;
  }
}

// Pair k's name is not its slot's, nor are those of the pairs up to e.
void Reviewer::name_mismatch(size_t k, size_t e) {
  const PairRecord& p = rec_->pairs[k];
  const int slot = p.read.slot;
  std::string m = "the name " + quoted_name(p) + " is not slot " + std::to_string(slot) +
                  "'s name '" + name_of(slot) + "', but its value sets slot " +
                  std::to_string(slot);
  if (e == k + 1) m += " (the name of the next slot differs too)";
  if (e > k + 1) m += " (the names of the next " + std::to_string(e - k) + " slots differ too)";
  // Another slot's name means the value surely sets another slot than meant: an error. A name
  // of no slot may be a typo in the name alone.
  const int owner = owner_of(p);
  add(owner >= 0 ? Severity::kError : Severity::kWarning, p.read.name, slot, m);
  if (owner >= 0) {
    const int d = slot - owner;
    const std::string slots =
        std::to_string(std::abs(d)) + (std::abs(d) == 1 ? " slot " : " slots ");
    add(Severity::kNote, p.read.name, owner,
        quoted_name(p) + " is the name of slot " + std::to_string(owner) +
            (d != 0 && e > k ? ": the values from here on sit " + slots +
                                   (d > 0 ? "later" : "earlier") + " than their names say"
                             : ""));
  } else {
    add(Severity::kNote, p.read.name, -1, quoted_name(p) + " is the name of no slot");
  }
}

// The last pair of a local permutation that starts at pair k: pairs k..last carry the names of
// slots k..last in another order, each with a number for its value, within a few lines. 0 when
// there is none.
size_t Reviewer::permuted_block(size_t k) const {
  const auto& pairs = rec_->pairs;
  std::array<bool, MAX_PERMUTED_SPAN> seen{};
  int highest = -1;
  for (size_t j = k; j < pairs.size() && j < k + MAX_PERMUTED_SPAN; ++j) {
    const PairRecord& p = pairs[j];
    if (p.read.value_read != TuningValueRead::kNumber) return 0;
    if (j > 0 && name_from_previous_value(pairs[j - 1], p)) return 0;
    if (std::find(fault_origins_.begin(), fault_origins_.end(), j) != fault_origins_.end()) {
      return 0;
    }
    const int owner = owner_of(p);
    if (owner < static_cast<int>(k) || owner >= static_cast<int>(k + MAX_PERMUTED_SPAN)) return 0;
    bool& once = seen[static_cast<size_t>(owner) - k];
    if (once) return 0;
    once = true;
    highest = std::max(highest, owner);
    // Distinct owners, none below k and none above j: exactly the slots k..j.
    if (highest == static_cast<int>(j)) return j;
  }
  return 0;
}

// Pairs k..last hold the right names in the wrong order: one error that names the lines out of
// place, and a note on each of them saying where its value goes.
void Reviewer::permutation(size_t k, size_t last) {
  const auto& pairs = rec_->pairs;
  std::vector<size_t> moved;
  std::vector<int64_t> lines;
  for (size_t i = k; i <= last; ++i) {
    if (name_matches(pairs[i], static_cast<int>(i))) continue;
    moved.push_back(i);
    const int64_t line = pairs[i].read.name.line;
    if (std::find(lines.begin(), lines.end(), line) == lines.end()) lines.push_back(line);
  }
  const auto list = [](const std::vector<std::string>& items) {
    std::string text;
    for (size_t i = 0; i < items.size(); ++i) {
      text += (i == 0 ? "" : i + 1 == items.size() ? " and " : ", ") + items[i];
    }
    return text;
  };
  std::vector<std::string> words;
  std::string what;
  if (lines.size() == moved.size()) {
    for (const int64_t line : lines) words.push_back(std::to_string(line));
    what = "lines " + list(words);
  } else {  // several pairs on a line: name them
    for (const size_t i : moved) words.push_back(quoted_name(pairs[i]));
    what = "the pairs named " + list(words);
  }
  const PairRecord& first = pairs[moved.front()];
  add(Severity::kError, first.read.name, first.read.slot,
      what + (moved.size() == 2 ? " are swapped" : " are out of order") +
          ": a value sets the slot of its place in the file, whatever its name; put the " +
          (lines.size() == moved.size() ? "lines" : "pairs") + " back in slot order");
  for (const size_t i : moved) {
    const PairRecord& p = pairs[i];
    add(Severity::kNote, p.read.name, p.read.slot,
        quoted_name(p) + " is the name of slot " + std::to_string(owner_of(p)) +
            ", but its value " + std::to_string(p.read.slot_value) + " sets " +
            slot_words(p.read.slot));
  }
}

void Reviewer::file_length() {
  const TuningLoadEnd& end = rec_->end;
  if (end.pairs == 0) {
    add(Severity::kWarning, end.end, -1,
        "the file holds no pairs: every slot is 0, so every stage is off and halvern-sim copies "
        "its input to its output");
  } else if (end.pairs < TUNING_SLOT_COUNT) {
    const int first = end.pairs;
    add(Severity::kWarning, end.end, first,
        "the file ends after " + std::to_string(end.pairs) +
            " pairs: " + slot_range(first, TUNING_SLOT_COUNT - 1) + " (" + name_of(first) +
            (first < TUNING_SLOT_COUNT - 1 ? " to " + name_of(TUNING_SLOT_COUNT - 1) : "") +
            (first < TUNING_SLOT_COUNT - 1 ? ") stay 0" : ") stays 0"));
  }
  if (end.more_after) {
    add(Severity::kWarning, end.next, -1,
        "everything from here on is ignored: the loader reads 85 pairs and stops before this");
  }
}

std::string time_text(int16_t coefficient) {
  const double ms = smoothing_time_ms(coefficient);
  return ms < 0 ? "none (coefficient " + std::to_string(coefficient) + ": the gain never moves)"
                : number_text(ms, 1) + " ms";
}

std::string dbfs_text(int16_t q7) { return number_text(q7 / 128.0, 2) + " dBFS"; }

// What the settings of a skipped step are after configure, read from the configured engine.
std::string Reviewer::skipped_effect(int group_first, const Engine& engine) const {
  const MainCompressor& c = engine.dynamics.main_compressor;
  const PreExpander& pre = engine.dynamics.pre_expander;
  if (group_first == slot_index("dyn_attack")) {
    return "the gain attack time constant is " + time_text(c.gain_attack) +
           " and the gain release " + time_text(c.gain_release);
  }
  if (group_first == slot_index("dyn_comp_threshold")) {
    return "T1 to T4 stay at " + dbfs_text(c.comp_threshold) + ", " + dbfs_text(c.boost_threshold) +
           ", " + dbfs_text(c.full_boost_threshold) + " and " + dbfs_text(c.exp_threshold) +
           (c.boost_slope == 0 ? ", and the boost ramp is flat" : "");
  }
  if (group_first == slot_index("dyn_makeup_db")) {
    return "the makeup gain stays at " + number_text(c.makeup_db / 128.0, 2) + " dB" +
           (c.boost_slope == 0 ? " and the boost ramp is flat" : "");
  }
  if (group_first == slot_index("pre_exp_threshold")) {
    return "the pre-expander threshold stays at " + dbfs_text(pre.threshold) +
           " and its slope at " + std::to_string(pre.slope) + " (Q11, ratio " +
           number_text(1.0 - pre.slope / 2048.0, 2) + ":1)";
  }
  return "they keep their defaults";
}

void Reviewer::range_finding(int slot, const Engine& engine) {
  const SlotInfo& info = info_of(slot);
  SlotReview& s = r_->slot_reviews[static_cast<size_t>(slot)];
  const int v = r_->slots[static_cast<size_t>(slot)];
  const int16_t mask = r_->slots[STAGE_MASK_SLOT];
  const bool on = stage_on(mask, info.stage);
  // Findings only where the value changes the sound: the stage is on and the file set the slot
  // (the slots a short file leaves at 0 are told once, with the file's end).
  const bool tell = on && slot < static_cast<int>(rec_->pairs.size());
  const std::string stage(slot_stage_name(info.stage));
  const TuningPosition at = value_position(slot);
  const std::string where = std::string(info.name) + " " + std::to_string(v) + " is " +
                            (v < info.min ? "below" : "above") + " its range " +
                            std::to_string(info.min) + ".." + std::to_string(info.max);
  if (info.stage == SlotStage::kNone) {
    s.status = STATUS_UNUSED;
    s.effective.reset();
    return;
  }
  s.effective = v;
  if (info.out_of_range == OutOfRange::kSkipped) {
    bool skipped = false;
    for (int g = info.group_first; g <= info.group_last; ++g)
      skipped = skipped || !slot_in_range(r_->slots, g);
    if (skipped) {
      s.status = STATUS_SKIPPED;
      s.effective.reset();
    }
    if (!info.in_range(v) && r_->configured && tell) skipped_group_finding(slot, engine, where);
  } else if (info.out_of_range == OutOfRange::kClamped && !info.in_range(v)) {
    s.status = STATUS_CLAMPED;
    s.effective = slot_clamped(r_->slots, slot);
    if (tell) {
      add(Severity::kWarning, at, slot,
          where + ": the " + stage + " stage uses " + std::to_string(*s.effective) +
              (info.unit.empty() ? "" : " (" + in_units(info, *s.effective) + ")"));
    }
  } else if (info.out_of_range == OutOfRange::kPassThrough && r_->configured) {
    cut_off_finding(slot, engine, where, tell);
  }
  if (!on) s.status = STATUS_STAGE_OFF;
}

// A value out of range makes its stage skip the step of its whole group of slots.
void Reviewer::skipped_group_finding(int slot, const Engine& engine, const std::string& where) {
  const SlotInfo& info = info_of(slot);
  const std::string stage(slot_stage_name(info.stage));
  const TuningPosition at = value_position(slot);
  std::string names;
  for (int g = info.group_first; g <= info.group_last; ++g) {
    names += (g == info.group_first ? "" : g == info.group_last ? " and " : ", ") + name_of(g);
  }
  add(Severity::kWarning, at, slot,
      where + ": the " + stage + " stage skips the step of " +
          slot_range(info.group_first, info.group_last) + ", so " + names +
          (info.group_first == info.group_last ? " keeps its default: "
                                               : " keep their defaults: ") +
          skipped_effect(info.group_first, engine));
}

// The high-pass cut-off: the configured filter tells whether it passes the signal through.
void Reviewer::cut_off_finding(int slot, const Engine& engine, const std::string& where,
                               bool tell) {
  const SlotInfo& info = info_of(slot);
  SlotReview& s = r_->slot_reviews[static_cast<size_t>(slot)];
  const int v = r_->slots[static_cast<size_t>(slot)];
  const std::string stage(slot_stage_name(info.stage));
  const TuningPosition at = value_position(slot);
  const int hz = highpass_cutoff_hz(engine.highpass);
  const bool passes = hz == 0;
  if (!info.in_range(v)) {
    s.status = STATUS_PASS_THROUGH;
    s.effective = 0;
    if (tell) {
      add(Severity::kWarning, at, slot,
          where + ": the " + stage + " filter passes the signal through" +
              " (its gain still applies)");
    }
  } else if (passes) {
    s.status = STATUS_PASS_THROUGH;
    if (v != 0 && tell) {
      add(Severity::kNote, at, slot,
          std::string(info.name) + " " + std::to_string(v) +
              " is below the lowest cut-off, 50 Hz: the filter passes the signal through");
    }
  } else if (hz != v && tell) {
    add(Severity::kNote, at, slot,
        "the cut-off goes in steps of 50 Hz: the filter's cut-off is " + std::to_string(hz) +
            " Hz, not " + std::to_string(v));
  }
}

void Reviewer::configure_and_ranges() {
  const int16_t mask = r_->slots[STAGE_MASK_SLOT];
  auto engine = std::make_unique<Engine>();
  const std::vector<int> fatal = configure(engine.get());
  if ((mask & ~0x1f) != 0) {
    add(Severity::kNote, value_position(STAGE_MASK_SLOT), STAGE_MASK_SLOT,
        "bits 5-15 of stage_mask " + std::to_string(mask) + " are ignored");
  }
  r_->slot_reviews[STAGE_MASK_SLOT].effective = mask;
  for (int k = 1; k < TUNING_SLOT_COUNT; ++k) range_finding(k, *engine);
  for (const int k : fatal) r_->slot_reviews[static_cast<size_t>(k)].status = STATUS_FATAL;
  if (r_->configured) {
    wrapped_band_thresholds(*engine);
    stages_off_but_set();
    r_->stages = stage_settings(*engine);
  }
}

// Resets and configures the engine as halvern-sim does; returns the slots that end the run in
// the configure step (told as an error).
std::vector<int> Reviewer::configure(Engine* engine) {
  const int16_t mask = r_->slots[STAGE_MASK_SLOT];
  std::vector<int> fatal;
  engine_reset(engine);
  engine_set_stage_mask(engine, mask);
  try {
    engine_configure(engine, r_->slots);
    r_->configured = true;
  } catch (const ArithmeticFault& fault) {
    std::string what = fault.what();
    while (!what.empty() && (what.back() == '\n' || what.back() == ' ')) what.pop_back();
    const int t2 = slot_index("dyn_boost_threshold");
    const int t3 = slot_index("dyn_full_boost_threshold");
    const int v2 = r_->slots[static_cast<size_t>(t2)];
    const int v3 = r_->slots[static_cast<size_t>(t3)];
    std::string m =
        "halvern-sim stops with a division error (\"" + what + "\") before it processes any audio";
    fatal.push_back(t3);
    if (v3 < v2) {
      fatal.push_back(t2);
      m = name_of(t3) + " " + std::to_string(v3) + " is less than " + name_of(t2) + " " +
          std::to_string(v2) + " (slot " + std::to_string(t2) +
          "): the boost ramp runs backwards and " + m + "; set slot " + std::to_string(t3) +
          " to at least " + std::to_string(v2);
    }
    if (!stage_on(mask, SlotStage::kDynamics))
      m += " (the dynamics settings are derived even with the stage off)";
    add(Severity::kError, value_position(t3), t3, m);
  }
  return fatal;
}

// Band thresholds are 16-bit sums of a slot and an offset that wrap.
void Reviewer::wrapped_band_thresholds(const Engine& engine) {
  const int16_t mask = r_->slots[STAGE_MASK_SLOT];
  const PeakSuppressorContext& p = engine.suppressor;
  const bool on = stage_on(mask, SlotStage::kSuppressor);
  for (int b = 0; b < SUPPRESSOR_BAND_COUNT; ++b) {
    const int slot = SLOT_SUPPRESSOR_BAND_THRESHOLD + b;
    const int offset_slot =
        b < 8 ? SLOT_SUPPRESSOR_LOW_BAND_OFFSET : SLOT_SUPPRESSOR_HIGH_BAND_OFFSET;
    const int sum =
        r_->slots[static_cast<size_t>(slot)] + r_->slots[static_cast<size_t>(offset_slot)];
    const int used = p.band_threshold[static_cast<size_t>(b)];
    if (sum == used) continue;
    if (!on) continue;
    add(Severity::kWarning, value_position(slot), slot,
        name_of(slot) + " plus " + name_of(offset_slot) + " is " + std::to_string(sum) +
            ", which wraps to " + std::to_string(used) + ": band " + std::to_string(b) +
            " is marked above " + std::to_string(used) + " level units");
  }
}

// A stage that is off but set: its slots change nothing.
void Reviewer::stages_off_but_set() {
  const int16_t mask = r_->slots[STAGE_MASK_SLOT];
  for (const StageInfo& row : STAGES_BY_BIT) {
    const SlotStage stage = row.id;
    if (stage_on(mask, stage)) continue;
    int first = -1;
    int last = -1;
    bool set = false;
    for (const SlotInfo& info : SLOT_CATALOGUE) {
      if (info.stage != stage) continue;
      if (first < 0) first = info.index;
      last = info.index;
      set = set || r_->slots[static_cast<size_t>(info.index)] != 0;
    }
    if (!set) continue;
    const int16_t bit = slot_stage_bit(stage);
    int bit_index = 0;
    while ((1 << bit_index) != bit) ++bit_index;
    add(Severity::kNote, value_position(STAGE_MASK_SLOT), STAGE_MASK_SLOT,
        "the " + std::string(slot_stage_name(stage)) + " stage is off (bit " +
            std::to_string(bit_index) + " of stage_mask " + std::to_string(mask) + " is clear): " +
            slot_range(first, last) + (first == last ? " changes nothing" : " change nothing"));
  }
}

}  // namespace

int TuningReview::count(Severity severity) const {
  return static_cast<int>(
      std::count_if(diagnostics.begin(), diagnostics.end(),
                    [severity](const Diagnostic& d) { return d.severity == severity; }));
}

namespace {

// Every finding, once the loader read the whole file into review.slots and recorder.
void review_read_file(TuningReview* review, Reviewer* reviewer, const Recorder& recorder) {
  reviewer->load(recorder);
  review->readable = true;
  reviewer->value_faults();
  reviewer->wrapped_values();
  reviewer->names();
  reviewer->file_length();
  reviewer->configure_and_ranges();
  std::stable_sort(review->diagnostics.begin(), review->diagnostics.end(),
                   [](const Diagnostic& a, const Diagnostic& b) {
                     return a.line != b.line ? a.line < b.line : a.column < b.column;
                   });
}

}  // namespace

TuningReview review_tuning(const std::string& path) {
  TuningReview review;
  review.path = path;
  Reviewer reviewer(&review);
  std::error_code error;
  if (std::filesystem::is_directory(path, error)) {
    reviewer.add_file(Severity::kError,
                      std::string("is a directory, not a tuning file; ") + SIM_STOPS_ON_FILE);
    return review;
  }
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    reviewer.add_file(Severity::kError, std::string("cannot open the file: ") +
                                            std::strerror(errno) + "; " + SIM_STOPS_ON_FILE);
    return review;
  }
  Recorder recorder;
  errno = 0;
  const bool read = tuning_load(f, &review.slots, &recorder);
  const int read_errno = errno;
  std::fclose(f);
  if (!read) {
    reviewer.load(recorder);
    reviewer.add_file(Severity::kError,
                      "cannot read the file after " + std::to_string(recorder.end.pairs) +
                          " pairs: " + std::strerror(read_errno) + "; " + SIM_STOPS_ON_FILE);
    return review;
  }
  review_read_file(&review, &reviewer, recorder);
  return review;
}

TuningReview review_tuning_text(const std::string& path, std::string_view text) {
  TuningReview review;
  review.path = path;
  Reviewer reviewer(&review);
  Recorder recorder;
  review.slots = load_tuning_text(text, &recorder);
  review_read_file(&review, &reviewer, recorder);
  return review;
}

std::string format_diagnostic(const std::string& path, const Diagnostic& d) {
  static constexpr const char* SEVERITY[] = {"error", "warning", "note"};
  std::string line = path + ":";
  if (d.line > 0) line += std::to_string(d.line) + ":" + std::to_string(d.column) + ":";
  line += std::string(" ") + SEVERITY[static_cast<int>(d.severity)] + ": " + d.message;
  if (d.slot >= 0) line += " [slot " + std::to_string(d.slot) + " " + name_of(d.slot) + "]";
  return line;
}

}  // namespace halvern::tools

namespace halvern::tools {

std::string explain_text(const TuningReview& review) {
  std::string out;
  char row[512];
  std::snprintf(row, sizeof row, "%4s %5s  %-25s %7s %7s  %-28s %-12s  %s\n", "slot", "line",
                "name", "value", "used", "unit", "status", "meaning");
  out += row;
  for (int k = 0; k < TUNING_SLOT_COUNT; ++k) {
    const SlotInfo& info = SLOT_CATALOGUE[static_cast<size_t>(k)];
    const SlotReview& s = review.slot_reviews[static_cast<size_t>(k)];
    const std::string line = s.line > 0 ? std::to_string(s.line) : "-";
    const std::string used = s.effective ? std::to_string(*s.effective) : "-";
    std::snprintf(row, sizeof row, "%4d %5s  %-25s %7d %7s  %-28s %-12s  %s", k, line.c_str(),
                  std::string(info.name).c_str(), s.value, used.c_str(),
                  std::string(info.unit).c_str(), s.status.c_str(),
                  std::string(info.meaning).c_str());
    out += row;
    if (s.file_name && *s.file_name != info.name)
      out += " [named '" + *s.file_name + "' in the file]";
    out += "\n";
  }
  out += "\nDerived settings\n";
  if (!review.configured) {
    out += "  none: the engine's configure step ends the run (see the errors below)\n";
  }
  for (const StageReview& stage : review.stages) {
    out += stage.name + (stage.enabled ? "\n" : ": off\n");
    for (const DerivedSetting& d : stage.settings) {
      if (!d.text.empty()) out += "  " + d.text + "\n";
    }
  }
  if (!review.diagnostics.empty()) {
    out += "\nFindings\n";
    for (const Diagnostic& d : review.diagnostics) out += format_diagnostic(review.path, d) + "\n";
  }
  return out;
}

nlohmann::json explain_json(const TuningReview& review) {
  using nlohmann::json;
  json slots = json::array();
  for (int k = 0; k < TUNING_SLOT_COUNT; ++k) {
    const SlotInfo& info = SLOT_CATALOGUE[static_cast<size_t>(k)];
    const SlotReview& s = review.slot_reviews[static_cast<size_t>(k)];
    slots.push_back({
        {"slot", k},
        {"name", info.name},
        {"file_name", s.file_name ? json(*s.file_name) : json(nullptr)},
        {"line", s.line > 0 ? json(s.line) : json(nullptr)},
        {"column", s.column > 0 ? json(s.column) : json(nullptr)},
        {"value", s.value},
        {"effective", s.effective ? json(*s.effective) : json(nullptr)},
        {"unit", info.unit},
        {"status", s.status},
        {"stage", slot_stage_name(info.stage)},
        {"range", slot_range_text(info)},
        {"meaning", info.meaning},
    });
  }
  json stages = nullptr;
  if (review.configured) {
    stages = json::object();
    for (const StageReview& stage : review.stages) {
      json s = {{"name", stage.name}, {"enabled", stage.enabled}};
      for (const DerivedSetting& d : stage.settings) {
        if (!d.key.empty()) s[d.key] = d.value;
      }
      stages[stage.key] = s;
    }
  }
  static constexpr const char* SEVERITY[] = {"error", "warning", "note"};
  json diagnostics = json::array();
  for (const Diagnostic& d : review.diagnostics) {
    diagnostics.push_back({
        {"severity", SEVERITY[static_cast<int>(d.severity)]},
        {"line", d.line > 0 ? json(d.line) : json(nullptr)},
        {"column", d.column > 0 ? json(d.column) : json(nullptr)},
        {"slot", d.slot >= 0 ? json(d.slot) : json(nullptr)},
        {"message", d.message},
        {"text", format_diagnostic(review.path, d)},
    });
  }
  return {{"path", review.path},
          {"readable", review.readable},
          {"configured", review.configured},
          {"slots", slots},
          {"stages", stages},
          {"diagnostics", diagnostics}};
}

}  // namespace halvern::tools
