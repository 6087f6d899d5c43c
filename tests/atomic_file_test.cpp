#include "files/atomic_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>

#include "support/scratch.h"

namespace framepick::testing {
namespace {

namespace fs = std::filesystem;

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

// Each system call failing in turn, as full disks, network file systems and other devices make
// them fail: the reason is the system's, and no file is left behind, neither the target nor the
// temporary one, nor a descriptor. Short and interrupted writes are taken up again; a directory
// that may not be read, or has nothing to flush, is not flushed.
TEST(AtomicFile, EachFailingCallLeavesNothingBehind) {
  const auto with = [](void (*change)(FileSystemCalls&)) {
    FileSystemCalls calls = kSystemFileCalls;
    change(calls);
    return calls;
  };
  const struct {
    FileSystemCalls calls;
    const char* outcome;
  } cases[] = {
      {with([](auto& c) { c.write = writeShortThenInterruptedThenFull; }),
       "No space left on device"},
      {with([](auto& c) { c.fsync = [](int) { return errno = EIO, -1; }; }), "Input/output error"},
      {with([](auto& c) {
         c.close = [](int fd) { return kSystemFileCalls.close(fd), errno = EDQUOT, -1; };
       }),
       "Disk quota exceeded"},
      {with([](auto& c) { c.rename = [](const char*, const char*) { return errno = EXDEV, -1; }; }),
       "Invalid cross-device link"},
      {with([](auto& c) { c.fsync = [](int fd) { return errno = EIO, failOnDirectories(fd); }; }),
       "Input/output error"},
      {with(
           [](auto& c) { c.fsync = [](int fd) { return errno = EINVAL, failOnDirectories(fd); }; }),
       "written"},
      {with([](auto& c) { c.openDirectory = [](const char*) { return errno = EACCES, -1; }; }),
       "written"},
  };
  const uint8_t bytes[] = {1, 2, 3, 4, 5};
  const auto descriptors = [] {
    return std::distance(fs::directory_iterator("/proc/self/fd"), {});
  };
  const auto descriptorsBefore = descriptors();
  for (const auto& [calls, outcome] : cases) {
    SCOPED_TRACE(outcome);
    ScratchDirectory directory;
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

}  // namespace
}  // namespace framepick::testing
