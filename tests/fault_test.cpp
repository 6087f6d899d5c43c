// Faults met while a run goes on, on the real file system: each costs only the samples it hits,
// which say why, and leaves no partial or temporary file behind. Each failing system call of a
// frame write (a full disk, a failed flush, close or rename) is a row of the atomic-file test.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "support/fixtures.h"
#include "support/process.h"
#include "support/scratch.h"

namespace framepick::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

using Fault = void (*)(const fs::path& output);

struct FaultCase {
  std::string name;
  std::vector<std::string> launcher;
  Fault fault;         // met once frame-001.jpg is in place; null for none
  std::string reason;  // what the samples after the fault say
  int exitStatus;
};

class FileFaults : public ::testing::TestWithParam<FaultCase> {};

// Each run is stopped once frame-001.jpg is in place, meets its fault and goes on; the frames of
// twelve 1080p samples are some 30 kB each.
TEST_P(FileFaults, CostOnlyTheSamplesTheyHitAndLeaveNoPartialFile) {
  const auto& [name, launcher, fault, reason, exitStatus] = GetParam();
  const fs::path video =
      fixtureVideo("numbered-1080p.mp4", "-f lavfi -i " + numberedFramesSource(1920, 1080, 30, 6) +
                                             " -c:v libx264 -preset ultrafast -g 60");
  ScratchDirectory scratch;
  const fs::path output = scratch.path() / "frames";
  fs::create_directory(output);
  if (!launcher.empty()) std::ofstream(output / "frame-001.jpg") << "an earlier run's frame";
  const std::vector<std::string> command =
      framepickCommand({"--input", video, "--output-dir", output, "--max-frames", "12"}, launcher);
  StartedProcess process(command.front(), {command.begin() + 1, command.end()});
  int waited = 0;
  while (!fs::exists(output / "frame-001.jpg") && ++waited < 60'000) usleep(1000);
  kill(process.pid(), SIGSTOP);
  int status = 0;
  waitpid(process.pid(), &status, WUNTRACED);
  ASSERT_TRUE(WIFSTOPPED(status)) << "the run ended before the fault, status " << status;
  const std::string firstFrame = readWholeFile(output / "frame-001.jpg");
  if (fault) fault(output);
  kill(process.pid(), SIGCONT);

  const ProcessResult result = process.wait();
  expectReportFollowsSchema(result);
  EXPECT_EQ(result.exitStatus, exitStatus);
  EXPECT_EQ(result.err, "");
  const json report = json::parse(result.out);
  ASSERT_FALSE(report["failures"].empty()) << result.out;
  EXPECT_EQ(report["frames"].size() + report["failures"].size(), 12u);
  for (const json& failure : report["failures"]) EXPECT_EQ(failure["reason"], reason);
  if (!fs::exists(output)) return;
  EXPECT_EQ(readWholeFile(output / "frame-001.jpg"), firstFrame);
  for (const json& frame : report["frames"]) {
    EXPECT_EQ(decodeJpegFile(output / frame["fileName"].get<std::string>()).width, frame["width"]);
  }
  // Listed frames and the first are all there is: no partial or temporary file.
  const auto files = std::distance(fs::directory_iterator(output), fs::directory_iterator());
  EXPECT_EQ(files, std::max<ptrdiff_t>(std::ssize(report["frames"]), 1));
}

INSTANTIATE_TEST_SUITE_P(
    DuringARun, FileFaults,
    ::testing::Values(
        FaultCase{"removed",
                  {},
                  [](const fs::path& output) { fs::remove_all(output); },
                  "No such file or directory",
                  0},
        // SIGXFSZ must not kill the run; the first frame is an earlier run's and must stay.
        FaultCase{"file_size_limit", {"prlimit", "--fsize=4096"}, nullptr, "File too large", 2}),
    [](const auto& info) { return info.param.name; });

// Heap limits that make allocations fail at different points of decoding, converting, encoding
// and writing: every run completes, and each sample that ran out of memory says so.
TEST(Faults, MemoryRunningOutFailsOnlyTheSamplesItHits) {
#ifdef FRAMEPICK_SANITIZED
  GTEST_SKIP() << "AddressSanitizer's shadow memory cannot live under a heap limit";
#endif
  const fs::path video =
      fixtureVideo("memory-720p.mp4",
                   "-f lavfi -i testsrc2=s=1280x720:r=30:d=12 -c:v libx264 -preset ultrafast");
  int samplesOutOfMemory = 0;
  for (int megabytes = 40; megabytes <= 80; megabytes += 8) {
    SCOPED_TRACE(std::to_string(megabytes) + " MB");
    ScratchDirectory scratch;
    const std::vector<std::string> command = framepickCommand(
        {"--input", video, "--output-dir", scratch.path() / "frames", "--max-dimension", "2400"},
        {"prlimit", "--data=" + std::to_string(megabytes << 20)});
    const ProcessResult result = runProcess(command.front(), {command.begin() + 1, command.end()});
    // Too little for the dynamic loader: the process never started.
    if (result.exitStatus == 127) continue;
    expectReportFollowsSchema(result);
    EXPECT_TRUE(result.exitStatus == 0 || result.exitStatus == 2) << result.out;
    EXPECT_EQ(result.err, "");
    const json report = json::parse(result.out);
    for (const json& failure : report["failures"]) {
      EXPECT_NE(failure["reason"].get<std::string>().find("memory ran out"), std::string::npos)
          << failure["reason"];
      ++samplesOutOfMemory;
    }
  }
  EXPECT_GT(samplesOutOfMemory, 0) << "no limit made memory run out";
}

}  // namespace
}  // namespace framepick::testing
