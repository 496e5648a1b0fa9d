#include "tools/commands/interrupts.h"

#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

namespace halvern::tools {
namespace {

// Fixed room, so that the handler touches nothing that is allocated or locked: one slot per file
// open at once (a batch has one per thread, at most 1024, and a few more).
constexpr int SLOT_COUNT = 1100;
constexpr int SLOT_FREE = 0;
constexpr int SLOT_FILLING = 1;
constexpr int SLOT_HELD = 2;

struct Slot {
  std::atomic<int> state{SLOT_FREE};
  char path[PATH_MAX];
};

Slot g_slots[SLOT_COUNT];
char g_note[512];
std::atomic<bool> g_note_set{false};

class SignalTemporaries final : public TemporaryFiles {
 public:
  void add(const std::string& path) override {
    if (path.size() >= PATH_MAX) return;  // cannot be kept; left as a run without this would
    for (Slot& slot : g_slots) {
      int expected = SLOT_FREE;
      if (slot.state.compare_exchange_strong(expected, SLOT_FILLING)) {
        std::memcpy(slot.path, path.c_str(), path.size() + 1);
        slot.state.store(SLOT_HELD);
        return;
      }
    }
  }
  void remove(const std::string& path) override {
    for (Slot& slot : g_slots) {
      int expected = SLOT_HELD;
      if (slot.state.load() == SLOT_HELD && path == slot.path &&
          slot.state.compare_exchange_strong(expected, SLOT_FILLING)) {
        slot.state.store(SLOT_FREE);
        return;
      }
    }
  }
};

SignalTemporaries g_temporaries;

extern "C" void on_stop_signal(int signal_number) {
  for (Slot& slot : g_slots) {
    if (slot.state.load() == SLOT_HELD) ::unlink(slot.path);
  }
  if (g_note_set.load()) {
    const char* text = g_note;
    size_t left = std::strlen(text);
    while (left > 0) {
      const ssize_t n = ::write(STDERR_FILENO, text, left);
      if (n <= 0) break;
      text += n;
      left -= static_cast<size_t>(n);
    }
  }
  ::_exit(128 + signal_number);
}

}  // namespace

void install_interrupt_cleanup() {
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  sigaddset(&action.sa_mask, SIGINT);
  sigaddset(&action.sa_mask, SIGTERM);
  for (int signal_number : {SIGINT, SIGTERM}) {
    struct sigaction previous {};
    // A shell starts background jobs with SIGINT ignored: they stay so.
    if (sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) {
      continue;
    }
    sigaction(signal_number, &action, nullptr);
  }
}

TemporaryFiles* interrupt_temporaries() { return &g_temporaries; }

void set_interrupt_note(const char* text) {
  g_note_set.store(false);
  const size_t n = std::min(std::strlen(text), sizeof g_note - 2);
  std::memcpy(g_note, text, n);
  g_note[n] = n > 0 ? '\n' : '\0';
  g_note[n + 1] = '\0';
  g_note_set.store(n > 0);
}

}  // namespace halvern::tools
