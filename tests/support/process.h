#pragma once

#include <sys/types.h>

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
  // The peak resident memory of the process; from runFramepick, none when that would not be
  // framepick's alone (under a wrapper, or AddressSanitizer with its quarantine of freed memory),
  // so memory bounds are checked in the Release pass only.
  std::optional<long> maxResidentKilobytes;
};

// A process started with no standard input and its standard output and error captured; not
// copyable, as its captures directory is not.
class StartedProcess {
 public:
  StartedProcess(const std::string& program, const std::vector<std::string>& arguments,
                 const std::filesystem::path& workingDirectory = {});
  ~StartedProcess();

  pid_t pid() const { return pid_; }
  ProcessResult wait();

 private:
  ScratchDirectory captures_;
  pid_t pid_ = 0;
  bool waited_ = false;
};

ProcessResult runProcess(const std::string& program, const std::vector<std::string>& arguments,
                         const std::filesystem::path& workingDirectory = {});

// The framepick binary of this build, run through the command in FRAMEPICK_TEST_WRAPPER when that
// is set (words split at spaces; valgrind, for one) and after `launcher` (prlimit, for one).
std::vector<std::string> framepickCommand(const std::vector<std::string>& arguments,
                                          const std::vector<std::string>& launcher = {});

// Fails the current test when the standard output does not follow the report schema.
void expectReportFollowsSchema(const ProcessResult& result);

// Runs framepickCommand, and fails the current test when its standard output does not follow the
// report schema.
ProcessResult runFramepick(const std::vector<std::string>& arguments,
                           const std::filesystem::path& workingDirectory = {});

}  // namespace framepick::testing
