#include "files/atomic_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

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

// Flushes files, and fails on directories with the error in `errno` beforehand.
int failOnDirectories(int fd) {
  const int error = errno;
  struct stat status {};
  if (fstat(fd, &status) == 0 && S_ISDIR(status.st_mode)) return errno = error, -1;
  return kSystemFileCalls.fsync(fd);
}

// Each system call failing in turn, as full disks, network file systems and other devices make
// them fail: the reason is the system's, and no file is left behind, neither the target nor the
// temporary one, nor a descriptor. A directory that may not be read is not flushed.
TEST(AtomicFile, EachFailingCallLeavesNothingBehind) {
  const auto with = [](void (*change)(FileSystemCalls&)) {
    FileSystemCalls calls = kSystemFileCalls;
    change(calls);
    return calls;
  };
  const struct {
    const char* what;
    FileSystemCalls calls;
    const char* reason;  // null when the write succeeds
  } cases[] = {
      {"short write, then a full disk",
       with([](auto& c) { c.write = failWithNoSpaceAfterOneByte; }), "No space left on device"},
      {"interrupted writes are taken up again",
       with([](auto& c) { c.write = interruptEveryOtherWrite; }), nullptr},
      {"flushing fails", with([](auto& c) { c.fsync = [](int) { return errno = EIO, -1; }; }),
       "Input/output error"},
      {"closing fails", with([](auto& c) {
         c.close = [](int fd) { return kSystemFileCalls.close(fd), errno = EDQUOT, -1; };
       }),
       "Disk quota exceeded"},
      {"renaming fails",
       with([](auto& c) { c.rename = [](const char*, const char*) { return errno = EXDEV, -1; }; }),
       "Invalid cross-device link"},
      {"flushing the directory fails",
       with([](auto& c) { c.fsync = [](int fd) { return errno = EIO, failOnDirectories(fd); }; }),
       "Input/output error"},
      {"the directory has nothing to flush", with([](auto& c) {
         c.fsync = [](int fd) { return errno = EINVAL, failOnDirectories(fd); };
       }),
       nullptr},
      {"the directory may not be read",
       with([](auto& c) { c.openDirectory = [](const char*) { return errno = EACCES, -1; }; }),
       nullptr},
  };
  const uint8_t bytes[] = {1, 2, 3, 4, 5};
  const auto descriptors = [] {
    return std::distance(fs::directory_iterator("/proc/self/fd"), {});
  };
  const auto descriptorsBefore = descriptors();
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
    EXPECT_EQ(descriptors(), descriptorsBefore);
  }
}

}  // namespace
}  // namespace framepick::testing
