// Writing a file whole or not at all, through one table of system calls.

#include "files/atomic_file.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <system_error>
#include <utility>

#include "files/unique_fd.h"

namespace framepick {
namespace {

Error writeError(int error) { return {std::error_code(error, std::generic_category()).message()}; }

// mkstemp opens its file for reading too, which the confined process may not do in the output
// directory; and its files are 0600, where frames should get the usual mode for new files.
int createTemporaryFile(const FileSystemCalls& calls, std::string& path) {
  static constexpr char kLetters[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  const size_t suffix = path.size() - 6;
  for (int attempt = 0; attempt < 100; ++attempt) {
    unsigned char random[6];
    if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) return -1;
    for (size_t i = 0; i < sizeof random; ++i) {
      path[suffix + i] = kLetters[random[i] % (sizeof kLetters - 1)];
    }
    const int fd = calls.createExclusive(path.c_str());
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// The temporary file of one write: closed, and removed unless it was renamed, however the write
// ends.
class TemporaryFile {
 public:
  TemporaryFile(const FileSystemCalls& calls, std::string path, int fd)
      : calls_(calls), path_(std::move(path)), fd_(fd) {}
  ~TemporaryFile() {
    if (fd_ >= 0) calls_.close(fd_);
    if (!renamed_) calls_.unlink(path_.c_str());
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  int fd() const { return fd_; }

  // A failed close can be the first word of a failed write (quotas, network file systems).
  Result<> close() {
    if (calls_.close(std::exchange(fd_, -1)) != 0) return writeError(errno);
    return {};
  }

  Result<> renameTo(const std::filesystem::path& target) {
    if (calls_.rename(path_.c_str(), target.c_str()) != 0) return writeError(errno);
    renamed_ = true;
    return {};
  }

 private:
  const FileSystemCalls& calls_;
  std::string path_;
  int fd_;
  bool renamed_ = false;
};

// A rename lives in the directory's own data until that is flushed too. A failure leaves the
// frame unreported, so it goes from the directory as well.
Result<> syncDirectory(const FileSystemCalls& calls, const std::filesystem::path& target) {
  const UniqueFd directory(calls.openDirectory(target.parent_path().c_str()));
  if (!directory && (errno == EACCES || errno == EPERM)) return {};
  // EINVAL: a file system that has nothing to flush for directories.
  if (directory && (calls.fsync(directory.get()) == 0 || errno == EINVAL)) return {};
  const int error = errno;
  calls.unlink(target.c_str());
  return writeError(error);
}

Result<> writeAll(const FileSystemCalls& calls, int fd, std::span<const uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t written = calls.write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return writeError(errno);
    }
    bytes = bytes.subspan(static_cast<size_t>(written));
  }
  return {};
}

}  // namespace

const FileSystemCalls kSystemFileCalls{
    .createExclusive =
        [](const char* path) { return open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666); },
    .write = ::write,
    .fsync = ::fsync,
    .close = ::close,
    .rename = ::rename,
    .unlink = ::unlink,
    .openDirectory =
        [](const char* path) { return open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC); },
};

Result<> writeFileAtomically(const std::filesystem::path& target, std::span<const uint8_t> bytes,
                             const FileSystemCalls& calls) {
  std::string temporaryName = target.filename().string();
  temporaryName.insert(0, 1, '.').append(".XXXXXX");
  std::string temporary = (target.parent_path() / temporaryName).string();
  const int fd = createTemporaryFile(calls, temporary);
  if (fd < 0) return writeError(errno);
  TemporaryFile file(calls, std::move(temporary), fd);

  if (Result<> written = writeAll(calls, file.fd(), bytes); !written.ok()) return written;
  // Some file systems (NFS, for one) report a full disk only when the data is flushed: a frame
  // is named in the report only once its bytes have landed.
  if (calls.fsync(file.fd()) != 0) return writeError(errno);
  if (Result<> closed = file.close(); !closed.ok()) return closed;
  if (Result<> renamed = file.renameTo(target); !renamed.ok()) return renamed;
  return syncDirectory(calls, target);
}

}  // namespace framepick
