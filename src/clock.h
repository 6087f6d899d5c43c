#pragma once

// The one clock that deadlines and stage times are read on.

#include <chrono>

namespace framepick {

using Clock = std::chrono::steady_clock;

}  // namespace framepick
