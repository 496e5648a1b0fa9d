#include "tools/tuning_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace halvern::tools {

TuningSlots read_tuning_file(const std::string& path) {
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!file) throw std::runtime_error("cannot open the tuning " + path + ": " + std::strerror(errno));
  TuningSlots slots{};
  if (!tuning_load(file.get(), &slots)) {
    throw std::runtime_error("cannot read the tuning " + path + ": " + std::strerror(errno));
  }
  return slots;
}

}  // namespace halvern::tools
