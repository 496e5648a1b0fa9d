// The tuning file of a run, loaded as halvern-sim loads it.
#pragma once

#include <string>

#include "tuning/tuning.h"

namespace halvern::tools {

// Throws ToolError naming the file when it cannot be opened or read.
TuningSlots read_tuning_file(const std::string& path);

}  // namespace halvern::tools
