#include "files/atomic_file.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

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
};

Result<> writeFileAtomically(const std::filesystem::path& target, std::span<const uint8_t> bytes,
                             const FileSystemCalls& calls) {
  std::string temporaryName = target.filename().string();
  temporaryName.insert(0, 1, '.').append(".XXXXXX");
  std::string temporary = (target.parent_path() / temporaryName).string();
  const int fd = createTemporaryFile(calls, temporary);
  if (fd < 0) return writeError(errno);

  Result<> written = writeAll(calls, fd, bytes);
  // Some file systems (NFS, for one) report a full disk only when the data is flushed: a frame
  // is named in the report only once its bytes have landed.
  if (written.ok() && calls.fsync(fd) != 0) written = writeError(errno);
  if (calls.close(fd) != 0 && written.ok()) written = writeError(errno);
  if (written.ok() && calls.rename(temporary.c_str(), target.c_str()) != 0) {
    written = writeError(errno);
  }
  if (!written.ok()) calls.unlink(temporary.c_str());
  return written;
}

}  // namespace framepick
