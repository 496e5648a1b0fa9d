// What the program does when SIGINT or SIGTERM stops it: removes every temporary file its
// SafeFiles have open (outputs, traces, pages, summaries under their temporary names), prints the
// note a subcommand left for that case, and exits with 128 + the signal (130, 143).
#pragma once

#include "tools/io/safe_file.h"

namespace halvern::tools {

// Installs the handlers (once; main does it first thing).
void install_interrupt_cleanup();

// The temporary files to remove when the program is stopped: pass it to SafeFile and the writers.
TemporaryFiles* interrupt_temporaries();

// A line printed on standard error when the program is stopped (no newline needed); the text is
// copied. An empty text prints nothing.
void set_interrupt_note(const char* text);

}  // namespace halvern::tools
