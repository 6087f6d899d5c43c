#include "files/frame_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "support/fixtures.h"

namespace framepick::testing {
namespace {

namespace fs = std::filesystem;

// Frames land whole or not at all, with the usual mode for new files: the rename replaces
// whatever has the name, a link included, without writing through it, and a failed write takes
// its temporary file with it.
TEST(FrameFile, WritesAtomically) {
  ScratchDirectory output;
  { std::ofstream(output.path() / "elsewhere.txt") << "not a frame"; }
  fs::create_symlink(output.path() / "elsewhere.txt", output.path() / "frame-001.jpg");
  fs::create_directory(output.path() / "frame-002.jpg");
  const Image grey{33, 17, std::vector<uint8_t>(33 * 17 * 3, 128)};

  ASSERT_EQ(writeFrameFile(grey, 1, output.path()).value(), "frame-001.jpg");
  EXPECT_EQ(writeFrameFile(grey, 2, output.path()).error().message, "Is a directory");
  EXPECT_EQ(writeFrameFile(grey, 3, output.path() / "gone").error().message,
            "No such file or directory");
  EXPECT_EQ(writeFrameFile(Image{0, 0, {}}, 4, output.path()).error().message,
            "jpeg_encode_failed");
  EXPECT_EQ(fs::file_size(output.path() / "elsewhere.txt"), 11u);
  const mode_t mask = umask(0);
  umask(mask);
  EXPECT_FALSE(fs::is_symlink(output.path() / "frame-001.jpg"));
  EXPECT_EQ(fs::status(output.path() / "frame-001.jpg").permissions(), fs::perms(0666 & ~mask));
  EXPECT_EQ(decodeJpegFile(output.path() / "frame-001.jpg").width, 33);
  EXPECT_EQ(std::distance(fs::directory_iterator(output.path()), {}), 3);
}

}  // namespace
}  // namespace framepick::testing
