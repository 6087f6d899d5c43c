#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "cli/options.h"
#include "support/fixtures.h"
#include "support/process.h"
#include "support/scratch.h"

namespace framepick {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::runFramepick;
using testing::ScratchDirectory;

// The caller reads stdout as one document: anything more, or anything on stderr, breaks it.
json runExpecting(int exitStatus, const std::vector<std::string>& arguments,
                  const fs::path& workingDirectory = {}) {
  const testing::ProcessResult result = runFramepick(arguments, workingDirectory);
  EXPECT_EQ(result.exitStatus, exitStatus);
  EXPECT_EQ(result.err, "");
  EXPECT_TRUE(result.out.ends_with("}\n")) << result.out;
  return json::parse(result.out);
}

// A failure document: zeros, empty lists and the error, whatever was learnt before the failure.
void expectFailure(json document, const std::string& inputFileName) {
  EXPECT_EQ(document.size(), 10u);
  EXPECT_EQ(document["ok"], false);
  EXPECT_EQ(document["decoder"], "AVFoundation");
  EXPECT_EQ(document["inputFileName"], inputFileName);
  for (const char* zero : {"durationSeconds", "videoWidth", "videoHeight", "maxFrames"}) {
    EXPECT_EQ(document[zero], 0) << zero;
  }
  EXPECT_EQ(document["frames"], json::array());
  EXPECT_EQ(document["failures"], json::array());
}

void writeFile(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string readFile(const fs::path& path) {
  std::ifstream stream(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
}

TEST(Run, MissingPathOptionsGiveTheUsageLineAndTouchNothing) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{}, ""},
      {{"--input", "a.mov"}, "a.mov"},
      {{"--input", "clips/a.mov/", "--max-frames", "3"}, "a.mov"},
      {{"--input", "a.mov", "--output-dir", ""}, "a.mov"},
      {{"--input", "a.mov", "--output-dir"}, "a.mov"},
      {{"--input=a.mov", "--output-dir", "out"}, ""},
  };
  for (const auto& [arguments, inputFileName] : cases) {
    SCOPED_TRACE(::testing::PrintToString(arguments));
    ScratchDirectory work;
    json document = runExpecting(1, arguments, work.path());
    expectFailure(document, inputFileName);
    EXPECT_EQ(document["error"], std::string(kUsageLine));
    EXPECT_TRUE(fs::is_empty(work.path()));
  }
}

TEST(Run, MissingInputLeavesNoOutputDirectory) {
  ScratchDirectory work;
  fs::create_symlink(work.path() / "nowhere", work.path() / "dangling.mov");
  for (const char* input : {"absent.mov", "dangling.mov"}) {
    SCOPED_TRACE(input);
    const fs::path out = work.path() / "out";
    json document = runExpecting(1, {"--input", input, "--output-dir", out}, work.path());
    expectFailure(document, input);
    EXPECT_EQ(document["error"], "input_missing");
    EXPECT_FALSE(fs::exists(out));
  }
}

TEST(Run, OutputDirectoryBlockedByAFile) {
  ScratchDirectory work;
  const fs::path input = work.path() / "in.mov";
  const fs::path blocker = work.path() / "blocker";
  writeFile(input, "");
  writeFile(blocker, "keep me");
  for (const fs::path& out : {blocker, blocker / "frames", blocker / "a" / "b"}) {
    SCOPED_TRACE(out);
    json document = runExpecting(1, {"--input", input, "--output-dir", out});
    expectFailure(document, "in.mov");
    const std::string error = document["error"];
    const std::string prefix = "output_directory_unavailable: ";
    EXPECT_TRUE(error.starts_with(prefix)) << error;
    EXPECT_GT(error.size(), prefix.size());
    EXPECT_EQ(readFile(blocker), "keep me");
  }
}

// Probing fails after the output directory was made; relative paths resolve in the working
// directory.
TEST(Run, UnreadableInputsLeaveAnEmptyOutputDirectory) {
  ScratchDirectory work;
  std::mt19937 random(20240601);
  std::string noise(64 * 1024, '\0');
  for (char& byte : noise) byte = static_cast<char>(random());
  writeFile(work.path() / "noise.mov", noise);
  writeFile(work.path() / "empty.mov", "");
  fs::create_directory(work.path() / "folder.mov");
  // Nobody writes to this FIFO: opening it for reading would block forever.
  ASSERT_EQ(mkfifo((work.path() / "pipe.mov").c_str(), 0600), 0);
  const fs::path tone =
      testing::fixtureVideo("tone.m4a", {"-f", "lavfi", "-i", "sine=d=1", "-c:a", "aac"});
  const std::pair<std::string, std::string> cases[] = {
      {"noise.mov", "duration_unavailable"},  {"empty.mov", "duration_unavailable"},
      {"folder.mov", "duration_unavailable"}, {"pipe.mov", "duration_unavailable"},
      {tone, "video_track_unavailable"},
  };
  for (const auto& [input, error] : cases) {
    SCOPED_TRACE(input);
    const std::string name = fs::path(input).filename();
    json document = runExpecting(1, {"--input", input, "--output-dir", "out/" + name}, work.path());
    expectFailure(document, name);
    EXPECT_EQ(document["error"], error);
    EXPECT_TRUE(fs::is_directory(work.path() / "out" / name));
    EXPECT_TRUE(fs::is_empty(work.path() / "out" / name));
  }
}

}  // namespace
}  // namespace framepick
