#include "extract/frame_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "support/fixtures.h"
#include "support/scratch.h"

namespace framepick::testing {
namespace {

Image greyImage(int64_t width, int64_t height) {
  return {width, height, std::vector<uint8_t>(static_cast<size_t>(width * height * 3), 128)};
}

std::vector<std::string> entries(const std::filesystem::path& directory) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(FrameFile, NamesCarryTheSampleIndex) {
  EXPECT_EQ(frameFileName(1), "frame-001.jpg");
  EXPECT_EQ(frameFileName(12), "frame-012.jpg");
  EXPECT_EQ(frameFileName(1234), "frame-1234.jpg");
}

TEST(FrameFile, WritesAReadableJpegWithTheUsualMode) {
  ScratchDirectory output;
  const Result<std::string> written = writeFrameFile(greyImage(33, 17), 3, output.path());
  ASSERT_TRUE(written.ok()) << written.error();
  EXPECT_EQ(written.value(), "frame-003.jpg");
  const DecodedImage decoded = decodeJpegFile(output.path() / "frame-003.jpg");
  EXPECT_EQ(decoded.width, 33);
  EXPECT_EQ(decoded.height, 17);
  struct stat status {};
  ASSERT_EQ(stat((output.path() / "frame-003.jpg").c_str(), &status), 0);
  const mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(status.st_mode & 0777, 0666 & ~mask);
  EXPECT_EQ(entries(output.path()), std::vector<std::string>{"frame-003.jpg"});
}

TEST(FrameFile, AnImageThatCannotBeEncodedWritesNothing) {
  ScratchDirectory output;
  const Result<std::string> written = writeFrameFile(Image{0, 0, {}}, 1, output.path());
  ASSERT_FALSE(written.ok());
  EXPECT_EQ(written.error(), "jpeg_encode_failed");
  EXPECT_TRUE(entries(output.path()).empty());
}

TEST(FrameFile, AWriteErrorGivesTheSystemsTextAndLeavesNoTemporaryFile) {
  ScratchDirectory output;
  const Result<std::string> missing =
      writeFrameFile(greyImage(8, 8), 1, output.path() / "gone");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error(), "No such file or directory");

  std::filesystem::create_directory(output.path() / "frame-002.jpg");
  const Result<std::string> blocked = writeFrameFile(greyImage(8, 8), 2, output.path());
  ASSERT_FALSE(blocked.ok());
  EXPECT_EQ(blocked.error(), "Is a directory");
  EXPECT_EQ(entries(output.path()), std::vector<std::string>{"frame-002.jpg"});
}

// The rename replaces whatever has the name, a link included, and never writes through it.
TEST(FrameFile, ReplacesAnOlderFileAndALinkWithoutFollowingIt) {
  ScratchDirectory output;
  const std::filesystem::path elsewhere = output.path() / "elsewhere.txt";
  { std::ofstream(elsewhere) << "not a frame"; }
  std::filesystem::create_symlink(elsewhere, output.path() / "frame-001.jpg");
  { std::ofstream(output.path() / "frame-002.jpg") << "an earlier run's frame"; }

  ASSERT_TRUE(writeFrameFile(greyImage(8, 8), 1, output.path()).ok());
  ASSERT_TRUE(writeFrameFile(greyImage(8, 8), 2, output.path()).ok());
  EXPECT_FALSE(std::filesystem::is_symlink(output.path() / "frame-001.jpg"));
  EXPECT_EQ(decodeJpegFile(output.path() / "frame-001.jpg").width, 8);
  EXPECT_EQ(decodeJpegFile(output.path() / "frame-002.jpg").width, 8);
  std::ifstream untouched(elsewhere);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(untouched), {}), "not a frame");
}

}  // namespace
}  // namespace framepick::testing
