#include "tools/studio/studio_server.h"

#include <httplib.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <list>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>

#include "fixedpoint/diagnostics.h"
#include "tools/io/audio_io.h"
#include "tools/report/report_page.h"
#include "tools/review/curves.h"
#include "tools/running/stats.h"
#include "tuning/slot_catalogue.h"

namespace halvern::tools {

namespace {

using nlohmann::json;
using nlohmann::ordered_json;

constexpr size_t kEventsKept = 256;
constexpr auto kEventWait = std::chrono::milliseconds(500);
constexpr auto kEventPing = std::chrono::seconds(10);
constexpr int kJsonDepthLimit = 16;
constexpr size_t kGestureLimit = 64;
constexpr auto kFullCheckEvery = std::chrono::seconds(2);
constexpr auto kAfterWait = std::chrono::seconds(2);

// The signals a client may ask for: every position of the chain, and the output as written.
constexpr const char* kOutput = "output";

const char* stage_key(SlotStage stage) {
  switch (stage) {
    case SlotStage::kAll: return "all";
    case SlotStage::kHighPass: return "highpass";
    case SlotStage::kDynamics: return "dynamics";
    case SlotStage::kEqualizer: return "equalizer";
    case SlotStage::kDither: return "dither";
    case SlotStage::kSuppressor: return "suppressor";
    case SlotStage::kNone: break;
  }
  return "none";
}

std::vector<ReportSignal> all_positions() {
  std::vector<ReportSignal> signals;
  for (int p = 0; p < CHAIN_POSITION_COUNT; ++p) {
    const auto position = static_cast<ChainPosition>(p);
    signals.push_back({position, position_name(position), position_name(position)});
  }
  return signals;
}

// The deepest nesting of arrays and objects in a JSON text (strings skipped), to refuse a body
// that would nest deeper than any request of the API before it is parsed.
int json_depth(std::string_view text) {
  int depth = 0;
  int deepest = 0;
  bool in_string = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\')
        ++i;
      else if (c == '"')
        in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      deepest = std::max(deepest, ++depth);
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return deepest;
}

bool same_token(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

std::string lower(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

bool is_ip_literal(std::string_view host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') return true;
  return !host.empty() && std::all_of(host.begin(), host.end(),
                                      [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
}

bool is_wildcard(std::string_view host) {
  return host == "0.0.0.0" || host == "::" || host == "[::]";
}

// The host as it appears in a URL and a Host header: an IPv6 address in brackets.
std::string url_host(const std::string& host) {
  if (host.find(':') != std::string::npos && host.front() != '[') return "[" + host + "]";
  return host;
}

void send_json(httplib::Response& res, const ordered_json& body, int status = 200) {
  res.status = status;
  res.set_header("Cache-Control", "no-store");
  res.set_content(body.dump(-1, ' ', false, ordered_json::error_handler_t::replace),
                  "application/json");
}

void send_error(httplib::Response& res, int status, const std::string& message) {
  send_json(res, ordered_json{{"error", message}, {"status", status}}, status);
}

struct Event {
  uint64_t id;
  std::string name;
  std::string data;
};

// The curves of the tunings asked for, each measured again only when a slot of the stage it
// shows changed (an edit changes one stage): the curves take longer than anything else.
class CurveCache {
 public:
  TuningCurves curves(const TuningSlots& slots) {
    std::lock_guard<std::mutex> lock(mutex_);
    TuningCurves c;
    if (refresh(dynamics_, slots, SlotStage::kDynamics)) {
      dynamics_.value.reset();
      dynamics_error_.clear();
      try {
        dynamics_.value = dynamics_level_curve(slots);
      } catch (const ArithmeticFault& e) {
        dynamics_error_ = std::string("the dynamics curve cannot be drawn: ") + e.what();
      }
    }
    if (refresh(compander_, slots, SlotStage::kEqualizer))
      compander_.value = compander_limiter_level_curve(slots);
    if (refresh(fir_, slots, SlotStage::kEqualizer)) fir_.value = fir_response(slots);
    if (refresh(highpass_, slots, SlotStage::kHighPass)) highpass_.value = highpass_response(slots);
    if (refresh(suppressor_, slots, SlotStage::kSuppressor))
      suppressor_.value = suppressor_bands(slots);
    c.dynamics = dynamics_.value;
    c.error = dynamics_error_;
    c.compander_limiter = compander_.value;
    c.fir = fir_.value;
    c.highpass = highpass_.value;
    c.suppressor = suppressor_.value;
    return c;
  }

 private:
  template <typename T>
  struct Part {
    bool measured = false;
    std::vector<int16_t> key;  // the slots of its stage it was measured with
    T value{};
  };

  // Whether part must be measured for slots; takes the new key.
  template <typename T>
  static bool refresh(Part<T>& part, const TuningSlots& slots, SlotStage stage) {
    std::vector<int16_t> key;
    for (const SlotInfo& info : SLOT_CATALOGUE) {
      if (info.stage == stage) key.push_back(slots[static_cast<size_t>(info.index)]);
    }
    if (part.measured && part.key == key) return false;
    part.measured = true;
    part.key = std::move(key);
    return true;
  }

  std::mutex mutex_;
  Part<std::optional<LevelCurve>> dynamics_;
  std::string dynamics_error_;
  Part<std::optional<LevelCurve>> compander_;
  Part<MagnitudeResponse> fir_;
  Part<MagnitudeResponse> highpass_;
  Part<SuppressorCurve> suppressor_;
};

}  // namespace

bool is_loopback_host(std::string_view host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  return lower(host) == "localhost" || host == "::1" || host.starts_with("127.");
}

std::string new_session_token() {
  std::random_device device;
  std::string token;
  static constexpr char kHex[] = "0123456789abcdef";
  for (int i = 0; i < 8; ++i) {
    const uint32_t word = device();
    for (int nibble = 0; nibble < 4; ++nibble) token += kHex[(word >> (4 * nibble)) & 0xf];
  }
  return token;
}

struct StudioServer::Impl {
  StudioSession& session;
  StudioFacts facts;
  std::string page;
  httplib::Server server;
  StudioServerOptions options;
  int port = 0;
  std::string token;
  std::vector<std::string> allowed_hosts;  // lower case, without the port

  std::mutex session_mutex;  // every use of the session

  std::mutex events_mutex;
  std::condition_variable events_changed;
  std::deque<Event> events;
  uint64_t next_event = 1;
  bool stopping = false;
  int64_t current_revision = 1;  // the session's, for requests that wait for a new one
  std::atomic<int> streams{0};

  // The runs of the engine, the analysis of the last tunings asked for and the curves by stage,
  // each with its own lock: none of them holds up an edit.
  RenderCache renders;
  std::mutex analyses_mutex;
  std::list<std::pair<TuningSlots, std::string>> analyses;
  CurveCache curve_cache;

  std::thread watcher;
  std::atomic<bool> listen_done{false};
  std::string disk_message;  // what the last look at the file said, to tell each change once

  Impl(StudioSession& s, StudioFacts f) : session(s), facts(std::move(f)), renders(s.input()) {}

  void publish(const std::string& name, const ordered_json& data) {
    {
      std::lock_guard<std::mutex> lock(events_mutex);
      events.push_back(Event{next_event++, name,
                             data.dump(-1, ' ', false, ordered_json::error_handler_t::replace)});
      while (events.size() > kEventsKept) events.pop_front();
    }
    events_changed.notify_all();
  }

  // The revision figures every answer that changes the state carries (session locked).
  ordered_json revision_json() const {
    return {{"revision", session.revision()},
            {"saved_revision", session.saved_revision()},
            {"edited", session.slots() != session.saved_slots()},
            {"undo_steps", session.undo_steps()},
            {"redo_steps", session.redo_steps()},
            {"slots", session.slots()}};
  }

  void publish_revision(const std::string& cause) {
    {
      std::lock_guard<std::mutex> lock(events_mutex);
      current_revision = session.revision();
    }
    ordered_json data = revision_json();
    data["cause"] = cause;
    publish("revision", data);
  }

  // --------------------------------------------------------------- checks of every request

  bool host_allowed(const std::string& header) const {
    std::string host = lower(header);
    std::string port_text;
    if (!host.empty() && host.front() == '[') {
      const size_t close = host.find(']');
      if (close == std::string::npos) return false;
      if (close + 1 < host.size()) {
        if (host[close + 1] != ':') return false;
        port_text = host.substr(close + 2);
      }
      host = host.substr(0, close + 1);
    } else if (const size_t colon = host.rfind(':'); colon != std::string::npos) {
      port_text = host.substr(colon + 1);
      host = host.substr(0, colon);
    }
    if (!port_text.empty() && port_text != std::to_string(port)) return false;
    if (std::find(allowed_hosts.begin(), allowed_hosts.end(), host) != allowed_hosts.end())
      return true;
    // Bound to every address: any address written as a number (a rebinding attack needs a name).
    return is_wildcard(options.host) && is_ip_literal(host);
  }

  httplib::Server::HandlerResponse screen(const httplib::Request& req, httplib::Response& res) {
    const std::string host = req.get_header_value("Host");
    if (!host_allowed(host)) {
      send_error(res, 403,
                 "refused: the Host header '" + host + "' is not this server's address; open " +
                     url_host(options.host) + ":" + std::to_string(port) + " or localhost");
      return httplib::Server::HandlerResponse::Handled;
    }
    const std::string given = req.has_header("X-Halvern-Token")
                                  ? req.get_header_value("X-Halvern-Token")
                                  : req.get_param_value("token");
    if (!same_token(given, token)) {
      send_error(res, 403,
                 given.empty() ? "refused: this server needs the session token printed when it "
                                 "started (?token=... or the header X-Halvern-Token)"
                               : "refused: wrong session token");
      return httplib::Server::HandlerResponse::Handled;
    }
    // The body's size is known before it is read: cpp-httplib limits a body with a length, but
    // would read a chunked one of any size.
    if (req.has_header("Transfer-Encoding")) {
      res.set_header("Connection", "close");
      send_error(res, 411, "send the request body with a Content-Length, not in chunks");
      return httplib::Server::HandlerResponse::Handled;
    }
    if (req.has_header("Content-Length") &&
        req.get_header_value<uint64_t>("Content-Length") > STUDIO_BODY_LIMIT) {
      res.set_header("Connection", "close");
      send_error(res, 413,
                 "the request body is larger than " + std::to_string(STUDIO_BODY_LIMIT) + " bytes");
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  }

  // --------------------------------------------------------------- answers

  int64_t revision_param(const httplib::Request& req, const char* name = "revision") {
    if (!req.has_param(name)) return -1;
    const std::string text = req.get_param_value(name);
    if (text.empty() || text.size() > 18 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      throw StudioError(400, std::string(name) + " must be a whole number, not '" + text + "'");
    }
    return std::stoll(text);
  }

  // The revision an audio request asks for: revision=N, or after=N for the first one after N
  // (waiting for it a moment: a page asks for the audio of its edit while it sends the edit), or
  // the current one.
  int64_t audio_revision(const httplib::Request& req) {
    const int64_t after = revision_param(req, "after");
    if (after < 0) return revision_param(req);
    std::unique_lock<std::mutex> lock(events_mutex);
    events_changed.wait_for(lock, kAfterWait, [&] { return stopping || current_revision > after; });
    return current_revision;
  }

  json parse_body(const httplib::Request& req) {
    if (json_depth(req.body) > kJsonDepthLimit)
      throw StudioError(400, "malformed JSON: nested too deep");
    try {
      return json::parse(req.body);
    } catch (const json::parse_error& e) {
      throw StudioError(400, std::string("malformed JSON: ") + e.what());
    }
  }

  ordered_json session_json() {
    ordered_json catalogue = ordered_json::array();
    for (const SlotInfo& s : SLOT_CATALOGUE) {
      catalogue.push_back({{"slot", s.index},
                           {"name", s.name},
                           {"stage", stage_key(s.stage)},
                           {"stage_name", slot_stage_name(s.stage)},
                           {"unit", s.unit},
                           {"min", s.has_range() ? s.min : INT16_MIN},
                           {"max", s.has_range() ? s.max : INT16_MAX},
                           {"has_range", s.has_range()},
                           {"range", slot_range_text(s)},
                           {"meaning", s.meaning}});
    }
    ordered_json positions = ordered_json::array();
    for (int p = 0; p < CHAIN_POSITION_COUNT; ++p)
      positions.push_back(position_name(static_cast<ChainPosition>(p)));
    positions.push_back(kOutput);
    const int64_t frames = static_cast<int64_t>(session.input().size()) / FRAME_LENGTH;
    return {{"program", facts.program},
            {"files",
             {{"input", facts.input_path},
              {"input_format", facts.input_description},
              {"tuning", session.tuning_path()}}},
            {"notes", facts.notes},
            {"sample_rate", ENGINE_SAMPLE_RATE},
            {"frame_length", FRAME_LENGTH},
            {"frames", frames},
            {"samples", frames * FRAME_LENGTH},
            {"duration_s", static_cast<double>(frames * FRAME_LENGTH) / ENGINE_SAMPLE_RATE},
            {"positions", positions},
            {"undo_limit", STUDIO_UNDO_STEPS},
            {"catalogue", catalogue}};
  }

  // The state of the session: the slots, the findings and the statistics of the edited tuning.
  // Only the copying is done under the session's lock; the review and the run are not.
  ordered_json state_json() {
    ordered_json j;
    TuningSlots slots;
    std::string text;
    {
      std::lock_guard<std::mutex> lock(session_mutex);
      j = revision_json();
      j["saved_slots"] = session.saved_slots();
      j["disk"] = disk_message;
      slots = session.slots();
      text = session.text_at(session.revision());
    }
    j["findings"] = explain_json(review_tuning_text(session.tuning_path(), text))["diagnostics"];
    try {
      j["stats"] = stats_to_json(renders.run(slots)->stats);
    } catch (const StudioError& e) {
      j["stats"] = nullptr;
      j["engine_error"] = e.what();
    }
    return j;
  }

  // The slots of a revision (-1: the current one), and the text they would be saved as.
  std::pair<TuningSlots, std::string> tuning_at(int64_t& revision, bool with_text) {
    std::lock_guard<std::mutex> lock(session_mutex);
    if (revision < 0) revision = session.revision();
    const std::optional<TuningSlots> slots = session.slots_at(revision);
    if (!slots) {
      throw StudioError(404, "revision " + std::to_string(revision) +
                                 " is not known (the studio keeps the last " +
                                 std::to_string(STUDIO_REVISIONS_KEPT) + "); the current one is " +
                                 std::to_string(session.revision()));
    }
    return {*slots, with_text ? session.text_at(revision) : std::string()};
  }

  std::string analysis_text(int64_t revision) {
    const std::pair<TuningSlots, std::string> tuning = tuning_at(revision, true);
    const TuningSlots& slots = tuning.first;
    const std::string& text = tuning.second;
    {
      std::lock_guard<std::mutex> lock(analyses_mutex);
      const auto hit = std::find_if(analyses.begin(), analyses.end(),
                                    [&](const auto& a) { return a.first == slots; });
      if (hit != analyses.end()) return with_revision(revision, hit->second);
    }
    const std::shared_ptr<const JobResult> run = renders.run(slots);
    ordered_json j;
    j["explained"] = explain_json(review_tuning_text(session.tuning_path(), text));
    j["curves"] = curves_json(curve_cache.curves(slots));
    j["trace"] = trace_json(*run, all_positions());
    std::string body = j.dump(-1, ' ', false, ordered_json::error_handler_t::replace);
    std::lock_guard<std::mutex> lock(analyses_mutex);
    analyses.emplace_front(slots, body);
    if (analyses.size() > 2) analyses.pop_back();
    return with_revision(revision, body);
  }

  // A JSON object with "revision" put in front of its keys.
  static std::string with_revision(int64_t revision, const std::string& body) {
    return "{\"revision\":" + std::to_string(revision) + "," + body.substr(1);
  }

  // The WAV of a position at revision (-1: the current one, which revision then names).
  std::string audio(const std::string& position, int64_t& revision) {
    int p = 0;
    while (p < CHAIN_POSITION_COUNT && position != position_name(static_cast<ChainPosition>(p)))
      ++p;
    if (p == CHAIN_POSITION_COUNT && position != kOutput) {
      throw StudioError(404, "no position '" + position +
                                 "': use input, highpass, dynamics, equalizer, "
                                 "suppressor, dither or output");
    }
    const std::shared_ptr<const JobResult> run = renders.run(tuning_at(revision, false).first);
    return wav_bytes(p == CHAIN_POSITION_COUNT ? run->output
                                               : run->signals[static_cast<size_t>(p)]);
  }

  ordered_json edit(const httplib::Request& req) {
    const json body = parse_body(req);
    if (!body.is_object() || !body.contains("slots")) {
      throw StudioError(400,
                        "the body must be {\"slots\": {\"<slot number or name>\": value, ...}}");
    }
    std::string gesture;
    if (body.contains("gesture")) {
      if (!body["gesture"].is_string() ||
          body["gesture"].get<std::string>().size() > kGestureLimit) {
        throw StudioError(400, "\"gesture\" must be a string of at most 64 characters");
      }
      gesture = body["gesture"].get<std::string>();
    }
    const std::vector<SlotChange> changes = parse_slot_changes(body["slots"]);
    std::lock_guard<std::mutex> lock(session_mutex);
    const int64_t before = session.revision();
    session.edit(changes, gesture);
    if (session.revision() != before) publish_revision("edit");
    return revision_json();
  }

  ordered_json step(bool back) {
    std::lock_guard<std::mutex> lock(session_mutex);
    const int64_t before = session.revision();
    if (back)
      session.undo();
    else
      session.redo();
    if (session.revision() != before) publish_revision(back ? "undo" : "redo");
    return revision_json();
  }

  ordered_json save() {
    std::lock_guard<std::mutex> lock(session_mutex);
    const int changed = session.save();
    disk_message.clear();
    ordered_json j = revision_json();
    j["changed_slots"] = changed;
    j["message"] = changed == 0
                       ? "nothing to save: the file holds these values"
                       : "saved " + std::to_string(changed) +
                             (changed == 1 ? " value" : " values") + " to " + session.tuning_path();
    publish("saved", j);
    return j;
  }

  // Looks at the file (session locked); tells every page what changed.
  void look_at_disk(bool force) {
    const DiskCheck check = session.check_disk(force);
    if (check.loaded) publish_revision(force ? "reload" : "file");
    if (check.message != disk_message || check.loaded) {
      disk_message = check.loaded ? "" : check.message;
      publish("file", {{"state", check.state == DiskState::kSame      ? "same"
                                 : check.state == DiskState::kMissing ? "missing"
                                                                      : "changed"},
                       {"loaded", check.loaded},
                       {"message", check.message}});
    }
  }

  void watch() {
    struct stat last {};
    auto last_full = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> lock(events_mutex);
    while (!stopping) {
      events_changed.wait_for(lock, std::chrono::milliseconds(options.watch_ms));
      if (stopping) break;
      lock.unlock();
      struct stat now {};
      const bool exists = ::stat(session.tuning_path().c_str(), &now) == 0;
      const bool same = exists && now.st_size == last.st_size && now.st_ino == last.st_ino &&
                        now.st_mtim.tv_sec == last.st_mtim.tv_sec &&
                        now.st_mtim.tv_nsec == last.st_mtim.tv_nsec &&
                        now.st_ctim.tv_sec == last.st_ctim.tv_sec &&
                        now.st_ctim.tv_nsec == last.st_ctim.tv_nsec;
      const auto clock = std::chrono::steady_clock::now();
      if (!same || clock - last_full > kFullCheckEvery) {
        last = now;
        last_full = clock;
        std::lock_guard<std::mutex> session_lock(session_mutex);
        try {
          look_at_disk(false);
        } catch (const std::exception&) {
          // A file that cannot be looked at now is looked at again at the next turn.
        }
      }
      lock.lock();
    }
    lock.unlock();
    // stop() may have come before the server was listening: stop it once it is.
    while (!listen_done) {
      if (server.is_running()) server.stop();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  // --------------------------------------------------------------- the event stream

  void events_stream(const httplib::Request&, httplib::Response& res) {
    if (++streams > STUDIO_EVENT_STREAMS) {
      --streams;
      send_error(res, 503,
                 "too many open event streams (" + std::to_string(STUDIO_EVENT_STREAMS) +
                     "): close a page of this studio");
      return;
    }
    uint64_t first;
    ordered_json hello;
    {
      // Under the session's lock no state changes, so no event falls between the two.
      std::lock_guard<std::mutex> lock(session_mutex);
      hello = revision_json();
      hello["disk"] = disk_message;
      std::lock_guard<std::mutex> events_lock(events_mutex);
      first = next_event;
    }
    auto sent = std::make_shared<uint64_t>(first - 1);
    auto greeted = std::make_shared<bool>(false);
    auto last_write =
        std::make_shared<std::chrono::steady_clock::time_point>(std::chrono::steady_clock::now());
    res.set_header("Cache-Control", "no-store");
    res.set_header("X-Accel-Buffering", "no");
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, sent, greeted, last_write, hello](size_t, httplib::DataSink& sink) {
          std::string out;
          if (!*greeted) {
            *greeted = true;
            out = "retry: 1000\nevent: hello\ndata: " + hello.dump() + "\n\n";
          }
          {
            std::unique_lock<std::mutex> lock(events_mutex);
            if (out.empty()) {
              events_changed.wait_for(lock, kEventWait, [&] {
                return stopping || (!events.empty() && events.back().id > *sent);
              });
            }
            if (stopping) {
              lock.unlock();
              sink.done();
              return true;
            }
            for (const Event& e : events) {
              if (e.id <= *sent) continue;
              out += "id: " + std::to_string(e.id) + "\nevent: " + e.name + "\ndata: " + e.data +
                     "\n\n";
              *sent = e.id;
            }
          }
          const auto now = std::chrono::steady_clock::now();
          if (out.empty() && now - *last_write > kEventPing) out = ": ping\n\n";
          if (out.empty()) return true;
          *last_write = now;
          return sink.write(out.data(), out.size());
        },
        [this](bool) { --streams; });
  }

  // --------------------------------------------------------------- routes

  // Runs an answer, turning a refusal into its status and message.
  template <typename F>
  void guarded(httplib::Response& res, F&& answer) {
    try {
      answer();
    } catch (const StudioError& e) {
      ordered_json body{{"error", e.what()}, {"status", e.status()}};
      if (e.status() == 409) body["conflict"] = true;
      send_json(res, body, e.status());
    }
  }

  void routes() {
    server.set_pre_routing_handler(
        [this](const httplib::Request& req, httplib::Response& res) { return screen(req, res); });
    server.Get("/", [this](const httplib::Request&, httplib::Response& res) {
      res.set_header("Cache-Control", "no-store");
      res.set_header("Content-Security-Policy",
                     "default-src 'self'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
                     "img-src 'self' data: blob:; media-src 'self' blob:; connect-src 'self'; "
                     "worker-src blob:");
      res.set_content(page, "text/html; charset=utf-8");
    });
    server.Get("/api/session", [this](const httplib::Request&, httplib::Response& res) {
      guarded(res, [&] {
        std::lock_guard<std::mutex> lock(session_mutex);
        send_json(res, session_json());
      });
    });
    server.Get("/api/state", [this](const httplib::Request&, httplib::Response& res) {
      guarded(res, [&] { send_json(res, state_json()); });
    });
    server.Get("/api/analysis", [this](const httplib::Request& req, httplib::Response& res) {
      guarded(res, [&] {
        res.set_header("Cache-Control", "no-store");
        res.set_content(analysis_text(revision_param(req)), "application/json");
      });
    });
    server.Get(R"(/api/audio/([a-z]{1,16})\.wav)",
               [this](const httplib::Request& req, httplib::Response& res) {
                 guarded(res, [&] {
                   int64_t revision = audio_revision(req);
                   const std::string wav = audio(req.matches[1], revision);
                   res.set_header("Cache-Control", "no-store");
                   res.set_header("X-Halvern-Revision", std::to_string(revision));
                   res.set_content(wav, "audio/wav");
                 });
               });
    server.Get("/api/events", [this](const httplib::Request& req, httplib::Response& res) {
      events_stream(req, res);
    });
    edit_routes();
    error_handlers();
  }

  // The calls that change the session.
  void edit_routes() {
    server.Post("/api/slots", [this](const httplib::Request& req, httplib::Response& res) {
      guarded(res, [&] { send_json(res, edit(req)); });
    });
    server.Post("/api/undo", [this](const httplib::Request&, httplib::Response& res) {
      guarded(res, [&] { send_json(res, step(true)); });
    });
    server.Post("/api/redo", [this](const httplib::Request&, httplib::Response& res) {
      guarded(res, [&] { send_json(res, step(false)); });
    });
    server.Post("/api/save", [this](const httplib::Request&, httplib::Response& res) {
      guarded(res, [&] { send_json(res, save()); });
    });
    server.Post("/api/reload", [this](const httplib::Request&, httplib::Response& res) {
      guarded(res, [&] {
        std::lock_guard<std::mutex> lock(session_mutex);
        look_at_disk(true);
        ordered_json j = revision_json();
        j["message"] = disk_message;
        send_json(res, j);
      });
    });
  }

  // Every failure answers with a JSON error, the status and what to do.
  void error_handlers() {
    server.set_error_handler(httplib::Server::HandlerWithResponse([](const httplib::Request& req,
                                                                     httplib::Response& res) {
      if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
      switch (res.status) {
        case 404:
          send_error(res, 404, "no such page or API call: " + req.method + " " + req.path);
          break;
        case 413:
          send_error(
              res, 413,
              "the request body is larger than " + std::to_string(STUDIO_BODY_LIMIT) + " bytes");
          break;
        default:
          send_error(res, res.status,
                     "the request was refused (status " + std::to_string(res.status) + ")");
      }
      return httplib::Server::HandlerResponse::Handled;
    }));
    server.set_exception_handler(
        [](const httplib::Request&, httplib::Response& res, std::exception_ptr ep) {
          std::string what = "unknown failure";
          try {
            std::rethrow_exception(ep);
          } catch (const std::exception& e) {
            what = e.what();
          } catch (...) {
          }
          send_error(res, 500, "the server failed to answer: " + what);
        });
  }
};

StudioServer::StudioServer(StudioSession& session, StudioFacts facts, std::string_view page_script,
                           std::string_view page_style)
    : impl_(std::make_unique<Impl>(session, std::move(facts))) {
  // The bundle is JavaScript and CSS of our own build; "</" cannot end its element early.
  std::string script(page_script);
  for (size_t at = 0; (at = script.find("</script", at)) != std::string::npos; at += 2)
    script.replace(at, 2, "<\\/");
  impl_->page =
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
      "<link rel=\"icon\" href=\"data:,\">\n<title>halvern studio</title>\n<style>\n" +
      std::string(page_style) + "\n</style>\n</head>\n<body>\n<div id=\"app\"></div>\n<script>\n" +
      script + "\n</script>\n</body>\n</html>\n";
  impl_->routes();
}

StudioServer::~StudioServer() {
  stop();
  if (impl_->watcher.joinable()) impl_->watcher.join();
}

void StudioServer::bind(const StudioServerOptions& options) {
  Impl& m = *impl_;
  m.options = options;
  m.token = options.token.empty() ? new_session_token() : options.token;
  httplib::Server& s = m.server;
  s.new_task_queue = [] { return new httplib::ThreadPool(STUDIO_THREADS); };
  s.set_payload_max_length(STUDIO_BODY_LIMIT);
  s.set_read_timeout(5, 0);
  s.set_write_timeout(5, 0);
  s.set_keep_alive_timeout(2);
  s.set_keep_alive_max_count(1000);
  s.set_tcp_nodelay(true);
  std::string bind_host = options.host;
  if (bind_host.size() >= 2 && bind_host.front() == '[' && bind_host.back() == ']') {
    bind_host = bind_host.substr(1, bind_host.size() - 2);
  }
  if (bind_host.find(':') != std::string::npos) s.set_address_family(AF_INET6);
  if (options.port == 0) {
    m.port = s.bind_to_any_port(bind_host);
    if (m.port <= 0)
      throw std::runtime_error("cannot listen on " + options.host +
                               ": no such address on this machine");
  } else {
    if (!s.bind_to_port(bind_host, options.port)) {
      throw std::runtime_error(
          "cannot listen on " + url_host(bind_host) + ":" + std::to_string(options.port) +
          ": the port is in use or the address is not this machine's; choose another "
          "with --port (--port 0 picks a free one)");
    }
    m.port = options.port;
  }
  m.options.host = bind_host;
  m.allowed_hosts = {"localhost", lower(url_host(bind_host))};
  if (is_loopback_host(bind_host))
    m.allowed_hosts.insert(m.allowed_hosts.end(), {"127.0.0.1", "[::1]"});
}

int StudioServer::port() const { return impl_->port; }
const std::string& StudioServer::token() const { return impl_->token; }

std::string StudioServer::url() const {
  const std::string host =
      is_wildcard(impl_->options.host) ? "127.0.0.1" : url_host(impl_->options.host);
  return "http://" + host + ":" + std::to_string(impl_->port) + "/?token=" + impl_->token;
}

void StudioServer::serve() {
  Impl& m = *impl_;
  {
    std::lock_guard<std::mutex> lock(m.events_mutex);
    if (m.stopping) return;
  }
  m.watcher = std::thread([&m] { m.watch(); });
  m.server.listen_after_bind();
  m.listen_done = true;
  stop();
  if (m.watcher.joinable()) m.watcher.join();
}

void StudioServer::stop() {
  Impl& m = *impl_;
  {
    std::lock_guard<std::mutex> lock(m.events_mutex);
    m.stopping = true;
  }
  m.events_changed.notify_all();
  m.server.stop();
}

}  // namespace halvern::tools
