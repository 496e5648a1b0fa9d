#include "frame/stage_header.h"

#include <cstring>

namespace halvern {

void stage_header_reset(StageHeader* header, int16_t enable) {
  header->input = nullptr;
  header->output = nullptr;
  header->frame_length = FRAME_LENGTH;
  header->enable = enable;
}

bool stage_copy_input(const StageHeader* header) {
  if (header->input == nullptr || header->output == nullptr) return false;
  if (header->input != header->output && header->frame_length > 0) {
    std::memmove(header->output, header->input,
                 static_cast<size_t>(header->frame_length) * sizeof(int16_t));
  }
  return true;
}

}  // namespace halvern
