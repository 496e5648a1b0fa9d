// halvern studio RECORDING TUNING: a page in the browser to tune live: every move of a control is
// heard at once, bit for bit what the engine gives, with A/B players, undo and save.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tools/commands/commands.h"
#include "tools/commands/common.h"
#include "tools/io/audio_io.h"
#include "tools/io/tool_error.h"
#include "tools/review/tuning_gate.h"
#include "tools/studio/studio_bundle.h"
#include "tools/studio/studio_server.h"
#include "tools/studio/studio_session.h"

extern char** environ;

namespace halvern::tools {

namespace {

struct StudioSettings {
  std::string input;
  std::string tuning;
  ReadOptions read;
  std::string host = "127.0.0.1";
  int port = STUDIO_DEFAULT_PORT;
  bool open = false;
  bool allow_errors = false;
};

constexpr const char* NO_PAGE =
    "this program was built without the studio page, which needs Node.js and npm at build time.\n"
    "Install them (Debian: sudo apt-get install -y nodejs npm), then reconfigure and rebuild:\n"
    "  cmake -S . -B build -DHALVERN_REPORT=ON && cmake --build build -j2";

// Opens the address in the system's browser with xdg-open, without waiting for it.
void open_browser(const std::string& url) {
  std::vector<char*> argv{const_cast<char*>("xdg-open"), const_cast<char*>(url.c_str()), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int error = posix_spawnp(&pid, "xdg-open", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) {
    std::fprintf(stderr,
                 "note: cannot start xdg-open to open a browser; open the address yourself\n");
    return;
  }
  std::thread([pid] { waitpid(pid, nullptr, 0); }).detach();
}

// The recording to tune with, its notes shown; refused (ToolError) without a whole frame.
AudioInput read_studio_input(const StudioSettings& s) {
  AudioInput audio = read_audio(s.input, s.read);
  for (const std::string& note : audio.notes) std::fprintf(stderr, "note: %s\n", note.c_str());
  if (audio.samples.size() < static_cast<size_t>(FRAME_LENGTH)) {
    throw ToolError(s.input +
                    " holds no complete 20 ms frame (320 samples at 16 kHz): nothing to tune with");
  }
  if (audio.samples.size() % FRAME_LENGTH != 0) {
    const size_t n = audio.samples.size() % FRAME_LENGTH;
    std::fprintf(stderr,
                 "note: the last %zu sample%s (a partial frame) %s dropped, as halvern-sim does; "
                 "--pad keeps %s\n",
                 n, n == 1 ? "" : "s", n == 1 ? "is" : "are", n == 1 ? "it" : "them");
  }
  return audio;
}

// Serves until SIGINT or SIGTERM (which one thread waits for; every other thread, the server's
// included, has them blocked) or until the server ends by itself.
void serve_until_stopped(StudioServer& server, const StudioSettings& s) {
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &stop_signals, &previous);

  StudioServerOptions options;
  options.host = s.host;
  options.port = s.port;
  try {
    server.bind(options);
  } catch (const std::runtime_error& e) {
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    throw ToolError(e.what());
  }
  if (!is_loopback_host(s.host)) {
    std::fprintf(
        stderr,
        "warning: listening on %s, which other machines may reach: whoever has the "
        "address with its token can hear the recording and change and save the tuning, and "
        "nothing is encrypted\n",
        s.host.c_str());
  }
  std::printf("halvern studio: %s with %s\n  %s\n(Ctrl+C stops it)\n", s.input.c_str(),
              s.tuning.c_str(), server.url().c_str());
  std::fflush(stdout);
  if (s.open) open_browser(server.url());

  std::atomic<bool> signalled{false};
  std::thread stopper([&] {
    int signal_number = 0;
    sigwait(&stop_signals, &signal_number);
    signalled = true;
    server.stop();
  });
  server.serve();
  if (!signalled) pthread_kill(stopper.native_handle(), SIGTERM);  // the server ended by itself
  stopper.join();
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

int studio(const StudioSettings& s) {
  if (!studio_bundle_available()) throw ToolError(NO_PAGE);
  judged_tuning(s.tuning, s.allow_errors);  // shown, and refused on an error unless allowed
  AudioInput audio = read_studio_input(s);
  StudioFacts facts;
  facts.program = std::string("halvern ") + HALVERN_VERSION;
  facts.input_path = s.input;
  facts.input_description = audio.description;
  facts.notes = audio.notes;
  std::unique_ptr<StudioSession> made;
  try {
    made = std::make_unique<StudioSession>(s.tuning, std::move(audio.samples), s.allow_errors);
  } catch (const StudioError& e) {
    throw ToolError(e.what());
  }
  StudioSession& session = *made;
  StudioServer server(session, facts, studio_script(), studio_style());
  serve_until_stopped(server, s);
  if (session.slots() != session.saved_slots()) {
    std::fprintf(stderr, "halvern studio: stopped; the last edits were not saved to %s\n",
                 s.tuning.c_str());
  } else {
    std::fprintf(stderr, "halvern studio: stopped\n");
  }
  return 0;
}

}  // namespace

void add_studio_command(CLI::App& app, int* status) {
  auto settings = std::make_shared<StudioSettings>();
  CLI::App* sub = app.add_subcommand(
      "studio", "tune live in the browser: hear every change at once, flip A/B, undo and save");
  sub->add_option("RECORDING", settings->input,
                  "the recording: WAV, FLAC, Ogg, AIFF and the other common formats, .pcm/.raw "
                  "for headerless 16-bit 16 kHz mono")
      ->type_name("FILE")
      ->required();
  sub->add_option("TUNING", settings->tuning, "the tuning file, saved in place")
      ->type_name("FILE")
      ->required();
  add_read_options(sub, &settings->read, "the recording", true);
  sub->add_option("--port", settings->port, "the port to listen on; 0 picks a free one")
      ->type_name("N")
      ->capture_default_str()
      ->check(CLI::Range(0, 65535).description(""));
  sub->add_option("--host", settings->host,
                  "the address to listen on; anything but loopback lets other machines in")
      ->type_name("ADDRESS")
      ->capture_default_str();
  sub->add_flag("--open", settings->open, "open the page in the system's browser (xdg-open)");
  add_allow_tuning_errors_option(sub, &settings->allow_errors);
  sub->callback([settings, status] { *status = studio(*settings); });
}

}  // namespace halvern::tools
