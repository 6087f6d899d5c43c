#pragma once

#include <string>
#include <vector>

namespace framepick {

// Prints the failure report for this input and exits with status 1.
[[noreturn]] void fail(const std::string& input, const std::string& message);

// Runs one extraction from the argument list (program path first). Returns the exit status of a
// completed run, 0 with frames and 2 without; fatal conditions exit through fail().
int run(const std::vector<std::string>& arguments);

}  // namespace framepick
