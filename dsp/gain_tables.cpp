#include "dsp/gain_tables.h"

#include <algorithm>
#include <cstddef>

namespace halvern {

int16_t half_db_gain_q11(int16_t tenths_db) {
  const int g = std::clamp<int>(tenths_db, -300, 240);
  return HALF_DB_GAIN_Q11[static_cast<size_t>(g / 5 + 60)];
}

}  // namespace halvern
