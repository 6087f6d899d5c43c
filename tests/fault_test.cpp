// Hostile inputs and faults met while a run goes on: each costs only the samples it hits, which
// say why, and leaves no partial or temporary file behind; frames land whole or not at all.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>

#include "files/atomic_file.h"
#include "files/frame_file.h"
#include "support/fixtures.h"

namespace framepick::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// The hostile files kept in fuzz/regressions, made by hand or by a fuzz run that broke the tool:
// each ends with one sound report and a defined exit status, at little memory whatever it claims.
TEST(FuzzRegressions, EachInputEndsWithOneReport) {
  int tried = 0;
  for (const auto& entry : fs::directory_iterator(FRAMEPICK_SOURCE_DIR "/fuzz/regressions")) {
    if (entry.path().filename().string().starts_with(".")) continue;
    SCOPED_TRACE(entry.path().filename());
    ScratchDirectory output;
    const ProcessResult result =
        runFramepick({"--input", entry.path().string(), "--output-dir", output.path().string()});
    EXPECT_TRUE(result.exitStatus >= 0 && result.exitStatus <= 2) << result.exitStatus;
    EXPECT_LT(result.maxResidentKilobytes.value_or(0), 200'000);
    ++tried;
  }
  EXPECT_GT(tried, 0);
}

// SIGXFSZ must not end the run, every write fails on its own, and an earlier run's frame stays.
// With no frame written the run fails, but reports what it probed.
TEST(Faults, FileSizeLimitFailsEachWriteAndKeepsEarlierFrames) {
  const fs::path video =
      numberedClip("numbered-1080p.mp4", 1920, 1080, 30, 2, "-c:v libx264 -preset ultrafast");
  ScratchDirectory output;
  std::ofstream(output.path() / "frame-001.jpg") << "an earlier run's frame";
  const ProcessResult result =
      runFramepick({"--input", video, "--output-dir", output.path(), "--max-frames", "3"}, {},
                   {"prlimit", "--fsize=4096"});
  EXPECT_EQ(result.exitStatus, 2);
  const json report = json::parse(result.out);
  EXPECT_EQ(report["error"], "no_frames_extracted");
  EXPECT_EQ(json({report["durationSeconds"], report["videoWidth"]}), json({2.0, 1920}));
  ASSERT_EQ(report["failures"].size(), 3u);
  for (const json& failure : report["failures"]) EXPECT_EQ(failure["reason"], "File too large");
  EXPECT_EQ(readWholeFile(output.path() / "frame-001.jpg"), "an earlier run's frame");
  EXPECT_EQ(std::distance(fs::directory_iterator(output.path()), {}), 1);
}

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
    const ProcessResult result = runFramepick(
        {"--input", video, "--output-dir", scratch.path() / "frames", "--max-dimension", "2400"},
        {}, {"prlimit", "--data=" + std::to_string(megabytes << 20)});
    if (result.exitStatus == 127) continue;  // too little for the dynamic loader
    EXPECT_TRUE(result.exitStatus == 0 || result.exitStatus == 2) << result.out;
    const json report = json::parse(result.out);
    for (const json& failure : report["failures"]) {
      EXPECT_NE(failure["reason"].get<std::string>().find("memory ran out"), std::string::npos)
          << failure["reason"];
      ++samplesOutOfMemory;
    }
  }
  EXPECT_GT(samplesOutOfMemory, 0) << "no limit made memory run out";
}

// Writes one byte, is interrupted, then finds the disk full.
ssize_t writeShortThenInterruptedThenFull(int fd, const void* bytes, size_t) {
  static int call = 0;
  if (call++ % 3 == 0) return kSystemFileCalls.write(fd, bytes, 1);
  errno = call % 3 == 2 ? EINTR : ENOSPC;
  return -1;
}

// Flushes files, and fails on directories with the error in `errno` beforehand.
int failOnDirectories(int fd) {
  const int error = errno;
  struct stat status {};
  if (fstat(fd, &status) == 0 && S_ISDIR(status.st_mode)) return errno = error, -1;
  return kSystemFileCalls.fsync(fd);
}

// Each system call failing in turn, as full disks and network file systems make them fail: the
// reason is the system's, and no target, temporary file or descriptor is left. Short and
// interrupted writes are resumed; a directory that cannot be read or flushed is not flushed.
TEST(AtomicFile, EachFailingCallLeavesNothingBehind) {
  const std::pair<void (*)(FileSystemCalls&), const char*> cases[] = {
      {[](auto& c) { c.write = writeShortThenInterruptedThenFull; }, "No space left on device"},
      {[](auto& c) { c.fsync = [](int) { return errno = EIO, -1; }; }, "Input/output error"},
      {[](auto& c) {
         c.close = [](int fd) { return kSystemFileCalls.close(fd), errno = EDQUOT, -1; };
       },
       "Disk quota exceeded"},
      {[](auto& c) { c.rename = [](const char*, const char*) { return errno = EXDEV, -1; }; },
       "Invalid cross-device link"},
      {[](auto& c) { c.fsync = [](int fd) { return errno = EIO, failOnDirectories(fd); }; },
       "Input/output error"},
      {[](auto& c) { c.fsync = [](int fd) { return errno = EINVAL, failOnDirectories(fd); }; },
       "written"},
      {[](auto& c) { c.openDirectory = [](const char*) { return errno = EACCES, -1; }; },
       "written"},
  };
  const uint8_t bytes[] = {1, 2, 3, 4, 5};
  const auto descriptors = [] {
    return std::distance(fs::directory_iterator("/proc/self/fd"), {});
  };
  const auto descriptorsBefore = descriptors();
  for (const auto& [change, outcome] : cases) {
    SCOPED_TRACE(outcome);
    ScratchDirectory directory;
    FileSystemCalls calls = kSystemFileCalls;
    change(calls);
    const Result<> written = writeFileAtomically(directory.path() / "frame-001.jpg", bytes, calls);
    EXPECT_EQ(written.ok() ? "written" : written.error().message, outcome);
    const bool landed = std::string(outcome) == "written";
    EXPECT_EQ(std::distance(fs::directory_iterator(directory.path()), {}), landed ? 1 : 0);
    if (landed) {
      EXPECT_EQ(fs::file_size(directory.path() / "frame-001.jpg"), sizeof bytes);
    }
    EXPECT_EQ(descriptors(), descriptorsBefore);
  }
}

// With the usual mode for new files, the rename replaces whatever has the name, a link included,
// without writing through it, and a failed write takes its temporary file with it.
TEST(FrameFile, WritesAtomically) {
  ScratchDirectory output;
  std::ofstream(output.path() / "elsewhere.txt") << "not a frame";
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
