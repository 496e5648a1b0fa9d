// Operands for bit-exactness tests of fast paths: the ends of the 16-bit range, values around
// unity gains, and random values.
#pragma once

#include <array>
#include <cstdint>
#include <random>

#include "fixedpoint/basic_ops.h"

namespace halvern {

// One in three draws is an edge value, the others random.
inline int16_t edgy(std::mt19937& rng) {
  constexpr std::array<int16_t, 12> kEdges = {MIN_16, -32767, -16384, -2049, -2048, -1,
                                              0,      1,      2047,   2048,  16384, MAX_16};
  return rng() % 3 == 0 ? kEdges[rng() % kEdges.size()] : static_cast<int16_t>(rng());
}

}  // namespace halvern
