// The HTTP server of `halvern studio` (cpp-httplib): the page and the JSON API over one
// StudioSession, the tuning file watched for changes, and server-sent events to every open page.
//
// Every request needs the session's token (query parameter `token` or header X-Halvern-Token),
// and a Host header that names the bound address or localhost; the answer is 403 otherwise. No
// request names a file: only the recording and the tuning file of the session are ever opened.
// Bodies are limited in size, requests in time, and the server in threads, so that no request
// can stop it serving the others. It prints nothing; the command prints its address.
#pragma once

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "tools/studio/studio_session.h"

namespace halvern::tools {

inline constexpr int STUDIO_DEFAULT_PORT = 8750;
inline constexpr size_t STUDIO_BODY_LIMIT = 64 * 1024;  // bytes of a request body
inline constexpr int STUDIO_THREADS = 16;               // requests served at once
inline constexpr int STUDIO_EVENT_STREAMS = 6;          // open event streams at once

struct StudioServerOptions {
  std::string host = "127.0.0.1";
  int port = STUDIO_DEFAULT_PORT;  // 0: any free port
  std::string token;               // empty: a new random one
  int watch_ms = 200;              // how often the tuning file is looked at
};

// Facts of the session that do not change: the page shows them (GET /api/session).
struct StudioFacts {
  std::string program;  // "halvern 1.1.0"
  std::string input_path;
  std::string input_description;   // "WAV, 16-bit PCM, 16000 Hz, 1 channel"
  std::vector<std::string> notes;  // conversions of the input
};

// True for an address of the loopback interface: 127.0.0.0/8, ::1, localhost.
bool is_loopback_host(std::string_view host);

// 128 random bits as 32 hexadecimal digits (std::random_device).
std::string new_session_token();

class StudioServer {
 public:
  // page_script and page_style are the page bundle; the session outlives the server.
  StudioServer(StudioSession& session, StudioFacts facts, std::string_view page_script,
               std::string_view page_style);
  ~StudioServer();
  StudioServer(const StudioServer&) = delete;
  StudioServer& operator=(const StudioServer&) = delete;

  // Binds to the address; throws std::runtime_error with a message for the user when it cannot.
  void bind(const StudioServerOptions& options);
  int port() const;
  const std::string& token() const;
  // The page's address with the token: http://127.0.0.1:8750/?token=...
  std::string url() const;

  // Serves until stop() is called (from another thread), watching the tuning file meanwhile.
  void serve();
  void stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace halvern::tools
