#pragma once

// The run: its stages in order, the failure exit and the final report.

#include <string>
#include <vector>

#include "response/response.h"

namespace framepick {

// How a run ends: the report to print and the exit status.
struct RunOutcome {
  ExtractorResponse response;
  int exitStatus;
};

// The failure exit: the report of a run stopped by a fatal condition, with status 1.
[[nodiscard]] RunOutcome fail(const std::string& input, const std::string& message);

// Runs one extraction from the argument list (program path first): 0 with frames, 2 without, or
// the failure exit's outcome at the first fatal condition. Prints nothing; main does.
[[nodiscard]] RunOutcome run(const std::vector<std::string>& arguments);

}  // namespace framepick
