#include "extract/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace framepick {
namespace {

std::string errnoText(int error) { return std::error_code(error, std::generic_category()).message(); }

// mkstemp creates 0600 files; frames should get the usual mode for new files.
mode_t newFileMode() {
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

std::optional<std::string> writeAll(int fd, std::span<const uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t written = write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return errnoText(errno);
    }
    bytes = bytes.subspan(static_cast<size_t>(written));
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> writeFileAtomically(const std::filesystem::path& target,
                                               std::span<const uint8_t> bytes) {
  std::string temporaryName = target.filename().string();
  temporaryName.insert(0, 1, '.').append(".XXXXXX");
  std::string temporary = (target.parent_path() / temporaryName).string();
  const int fd = mkstemp(temporary.data());
  if (fd < 0) return errnoText(errno);

  std::optional<std::string> error;
  if (fchmod(fd, newFileMode()) != 0) error = errnoText(errno);
  if (!error) error = writeAll(fd, bytes);
  // Some file systems (NFS, for one) report a full disk only when the data is flushed: a frame
  // is named in the report only once its bytes have landed.
  if (!error && fsync(fd) != 0) error = errnoText(errno);
  if (close(fd) != 0 && !error) error = errnoText(errno);
  if (!error && rename(temporary.c_str(), target.c_str()) != 0) error = errnoText(errno);
  if (error) unlink(temporary.c_str());
  return error;
}

}  // namespace framepick
