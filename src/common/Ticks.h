#pragma once

#include <cstdint>
#include <functional>

namespace gd {

// 32-bit millisecond tick of a monotonic clock; wraps after about 49.7 days,
// so ages are always taken as unsigned differences.
std::uint32_t MonotonicTicks();

// The seam through which logic reads time, so tests can drive it.
using TickSource = std::function<std::uint32_t()>;

} // namespace gd
