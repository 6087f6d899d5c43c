#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "cli/options.h"
#include "support/fixtures.h"

namespace framepick::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// Runs that fail before sampling: a failure document with only what was learnt so far, stdout
// holding nothing else, and nothing made but an empty output directory.
TEST(Run, FailuresBeforeSamplingLeaveNoFrames) {
  ScratchDirectory work;
  std::ofstream(work.path() / "empty.mov");
  std::ofstream(work.path() / "blocker") << "keep me";
  fs::create_directory(work.path() / "folder.mov");
  fs::create_symlink(work.path() / "nowhere", work.path() / "dangling.mov");
  // Nobody writes to this FIFO: opening it for reading would block forever.
  ASSERT_EQ(mkfifo((work.path() / "pipe.mov").c_str(), 0600), 0);

  const std::string tone = fixtureVideo("tone.m4a", "-f lavfi -i sine=d=1 -c:a aac").string();
  const std::string usage(kUsageLine), in = "--input", out = "--output-dir";
  const std::string notDirectory = "output_directory_unavailable: Not a directory";
  const std::tuple<std::vector<std::string>, std::string, std::string> cases[] = {
      {{}, "", usage},
      {{in, "clips/a.mov/", "--max-frames", "3"}, "a.mov", usage},
      {{in, "a.mov", out, ""}, "a.mov", usage},
      {{"--input=a.mov", out, "out"}, "", usage},
      {{in, "absent.mov", out, "out"}, "absent.mov", "input_missing"},
      {{in, "dangling.mov", out, "out"}, "dangling.mov", "input_missing"},
      {{in, "empty.mov", out, "blocker"}, "empty.mov", notDirectory},
      {{in, "empty.mov", out, "blocker/a/b"}, "empty.mov", notDirectory},
      {{in, "empty.mov", out, "out"}, "empty.mov", "duration_unavailable"},
      {{in, "folder.mov", out, "out"}, "folder.mov", "duration_unavailable"},
      {{in, "pipe.mov", out, "out"}, "pipe.mov", "duration_unavailable"},
      {{in, tone, out, "out"}, "tone.m4a", "video_track_unavailable"},
  };
  json expected = json::parse(R"({"ok": false, "decoder": "AVFoundation", "durationSeconds": 0,
      "videoWidth": 0, "videoHeight": 0, "maxFrames": 0, "frames": [], "failures": []})");
  for (const auto& [arguments, inputFileName, error] : cases) {
    SCOPED_TRACE(::testing::PrintToString(arguments));
    const ProcessResult result = runFramepick(arguments, work.path());
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.err, "");
    expected["inputFileName"] = inputFileName;
    expected["error"] = error;
    EXPECT_EQ(json::parse(result.out), expected);
    // Only probing fails after the output directory is made.
    std::error_code notEmpty;
    EXPECT_EQ(fs::remove(work.path() / "out", notEmpty),
              error == "duration_unavailable" || error == "video_track_unavailable")
        << notEmpty.message();
  }
  EXPECT_EQ(fs::file_size(work.path() / "blocker"), 7u);
}

}  // namespace
}  // namespace framepick::testing
