// Closing the descriptors the caller left open, and standing in for missing standard ones.

#include "cli/inherited_descriptors.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace framepick {
namespace {

// Kernels before 5.9 have no close_range: close what /proc lists instead.
void closeListedDescriptors() {
  DIR* listing = opendir("/proc/self/fd");
  if (listing == nullptr) return;
  std::vector<int> open;
  while (const dirent* entry = readdir(listing)) {
    const int fd = std::atoi(entry->d_name);
    if (fd > STDERR_FILENO && fd != dirfd(listing)) open.push_back(fd);
  }
  closedir(listing);
  for (const int fd : open) close(fd);
}

}  // namespace

bool closeInheritedDescriptors() {
  if (syscall(SYS_close_range, STDERR_FILENO + 1, ~0U, 0) != 0) closeListedDescriptors();
  const int null = open("/dev/null", O_RDWR);
  if (null < 0) {
    close(STDIN_FILENO);
    return false;
  }
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fd != null && (fd == STDIN_FILENO || fcntl(fd, F_GETFD) < 0)) dup2(null, fd);
  }
  if (null > STDERR_FILENO) close(null);
  return true;
}

}  // namespace framepick
