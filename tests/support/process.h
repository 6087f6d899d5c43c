#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace framepick::testing {

struct ProcessResult {
  int exitStatus;  // -1 when the process did not exit normally (a signal)
  std::string out;
  std::string err;
};

// Runs a program with the arguments, no standard input, and standard output and error captured.
ProcessResult runProcess(const std::string& program, const std::vector<std::string>& arguments,
                         const std::filesystem::path& workingDirectory = {});

// Runs the framepick binary of this build, and fails the current test when its standard output
// does not follow the report schema.
ProcessResult runFramepick(const std::vector<std::string>& arguments,
                           const std::filesystem::path& workingDirectory = {});

}  // namespace framepick::testing
