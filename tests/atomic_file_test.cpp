#include "files/atomic_file.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "support/scratch.h"

namespace framepick::testing {
namespace {

namespace fs = std::filesystem;

ssize_t failWithNoSpaceAfterOneByte(int fd, const void* bytes, size_t count) {
  static bool wroteOne = false;
  wroteOne = !wroteOne;
  if (wroteOne) return kSystemFileCalls.write(fd, bytes, count < 1 ? count : 1);
  errno = ENOSPC;
  return -1;
}

ssize_t interruptEveryOtherWrite(int fd, const void* bytes, size_t count) {
  static bool interrupted = false;
  interrupted = !interrupted;
  if (!interrupted) return kSystemFileCalls.write(fd, bytes, count);
  errno = EINTR;
  return -1;
}

// Each system call failing in turn, as full disks, network file systems and other devices make
// them fail: the reason is the system's, and no file is left behind, neither the target nor the
// temporary one.
TEST(AtomicFile, EachFailingCallLeavesNothingBehind) {
  FileSystemCalls failing = kSystemFileCalls;
  const struct {
    const char* what;
    FileSystemCalls calls;
    const char* reason;  // null when the write succeeds
  } cases[] = {
      {"short write, then a full disk",
       {failing.createExclusive, failWithNoSpaceAfterOneByte, failing.fsync, failing.close,
        failing.rename, failing.unlink},
       "No space left on device"},
      {"interrupted writes are taken up again",
       {failing.createExclusive, interruptEveryOtherWrite, failing.fsync, failing.close,
        failing.rename, failing.unlink},
       nullptr},
      {"flushing fails",
       {failing.createExclusive, failing.write, [](int) { return errno = EIO, -1; }, failing.close,
        failing.rename, failing.unlink},
       "Input/output error"},
      {"closing fails",
       {failing.createExclusive, failing.write, failing.fsync,
        [](int fd) { return kSystemFileCalls.close(fd), errno = EDQUOT, -1; }, failing.rename,
        failing.unlink},
       "Disk quota exceeded"},
      {"renaming fails",
       {failing.createExclusive, failing.write, failing.fsync, failing.close,
        [](const char*, const char*) { return errno = EXDEV, -1; }, failing.unlink},
       "Invalid cross-device link"},
  };
  const uint8_t bytes[] = {1, 2, 3, 4, 5};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDirectory directory;
    const Result<> written =
        writeFileAtomically(directory.path() / "frame-001.jpg", bytes, c.calls);
    EXPECT_EQ(written.ok() ? "written" : written.error().message, c.reason ? c.reason : "written");
    const auto files = std::distance(fs::directory_iterator(directory.path()), {});
    EXPECT_EQ(files, c.reason ? 0 : 1);
    if (!c.reason) {
      EXPECT_EQ(fs::file_size(directory.path() / "frame-001.jpg"), sizeof bytes);
    }
  }
}

}  // namespace
}  // namespace framepick::testing
