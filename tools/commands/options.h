// Option checks the subcommands share, with messages in the toolkit's words.
#pragma once

#include <CLI/CLI.hpp>

#include <string>

namespace halvern::tools {

// Whether app has a subcommand of that name.
inline bool has_subcommand(CLI::App& app, const std::string& name) {
  try {
    app.get_subcommand(name);
    return true;
  } catch (const CLI::OptionNotFound&) {
    return false;
  }
}

// --channel N: a whole number from 1.
inline CLI::Validator channel_number() {
  return CLI::Validator(
      [](std::string& value) -> std::string {
        int n = 0;
        try {
          size_t used = 0;
          n = std::stoi(value, &used);
          if (used != value.size()) n = 0;
        } catch (const std::exception&) {
          n = 0;
        }
        return n >= 1 ? std::string()
                      : "channels are numbered from 1 to the file's channel count (1 is the "
                        "first, or left); " + value + " names none";
      },
      "");
}

}  // namespace halvern::tools
