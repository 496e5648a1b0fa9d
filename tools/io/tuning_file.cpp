#include "tools/io/tuning_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tools/io/tool_error.h"

namespace halvern::tools {

TuningSlots read_tuning_file(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr)
    throw ToolError("cannot open tuning file " + path + ": " + std::strerror(errno));
  TuningSlots slots{};
  const bool read = tuning_load(f, &slots);
  std::fclose(f);
  if (!read) throw ToolError("cannot read tuning file " + path);
  return slots;
}

}  // namespace halvern::tools
