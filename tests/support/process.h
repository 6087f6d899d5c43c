#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/scratch.h"

namespace framepick::testing {

struct ProcessResult {
  int exitStatus;  // -1 when the process did not exit normally (a signal); 127 when not found
  std::string out;
  std::string err;
  // The peak resident memory; from runFramepick, none when that would not be framepick's alone
  // (under a launcher or wrapper, or AddressSanitizer with its quarantine of freed memory), so
  // memory bounds are checked in the Release pass only.
  std::optional<long> maxResidentKilobytes;
};

// Runs a program with no standard input and its standard output and error captured.
ProcessResult runProcess(const std::string& program, const std::vector<std::string>& arguments,
                         const std::filesystem::path& workingDirectory = {});

// Runs the framepick binary of this build after `launcher` (prlimit, for one) and through the
// command in FRAMEPICK_TEST_WRAPPER when that is set (valgrind, for one; words split at spaces).
// Fails the current test when a framepick that started printed a report the schema refuses.
ProcessResult runFramepick(const std::vector<std::string>& arguments,
                           const std::filesystem::path& workingDirectory = {},
                           const std::vector<std::string>& launcher = {});

}  // namespace framepick::testing
