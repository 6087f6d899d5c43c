#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace framepick::testing {

// A fresh directory under the system's temporary directory, removed with everything in it.
class ScratchDirectory {
 public:
  ScratchDirectory() {
    std::string pattern = std::filesystem::temp_directory_path() / "framepick-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~ScratchDirectory() {
    std::error_code error;
    std::filesystem::remove_all(path_, error);
  }
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline std::string readWholeFile(const std::filesystem::path& path) {
  std::ifstream stream(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
}

struct ProcessResult {
  int exitStatus;  // -1 when the process did not exit normally (a signal); 127 when not found
  std::string out;
  std::string err;
  // Set by runFramepick only where the peak is framepick's alone (no launcher or wrapper, no
  // AddressSanitizer quarantine), so memory bounds are checked in the Release pass only.
  std::optional<long> maxResidentKilobytes;
};

// Runs a program with no standard input and its standard output and error captured.
ProcessResult runProcess(const std::string& program, const std::vector<std::string>& arguments,
                         const std::filesystem::path& workingDirectory = {});

// Runs this build's framepick after `launcher` (prlimit, say), through FRAMEPICK_TEST_WRAPPER's
// command when set (valgrind, say); fails the test on a report the schema refuses, or stderr.
ProcessResult runFramepick(const std::vector<std::string>& arguments,
                           const std::filesystem::path& workingDirectory = {},
                           const std::vector<std::string>& launcher = {});

}  // namespace framepick::testing
