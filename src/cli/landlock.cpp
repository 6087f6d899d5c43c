// The Landlock rules that leave only the output directory writable.

#include "cli/landlock.h"

#include <fcntl.h>
#include <linux/landlock.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include "files/unique_fd.h"

namespace framepick {
namespace {

// Landlock's access rights by the ABI version that brought them, spelled out here because the
// oldest kernel headers we build with know only the first two versions.
constexpr uint64_t kFileSystemAccessV1 = (1ULL << 13) - 1;  // execute ... make symlink
constexpr uint64_t kReferV2 = 1ULL << 13;
constexpr uint64_t kTruncateV3 = 1ULL << 14;
constexpr uint64_t kIoctlDeviceV5 = 1ULL << 15;
constexpr uint64_t kBindTcpV4 = 1ULL << 0;
constexpr uint64_t kConnectTcpV4 = 1ULL << 1;
constexpr uint64_t kScopeAbstractUnixSocketV6 = 1ULL << 0;
constexpr uint64_t kScopeSignalV6 = 1ULL << 1;

constexpr uint64_t kWriteFile = 1ULL << 1;
constexpr uint64_t kReadDirectory = 1ULL << 3;
constexpr uint64_t kRemoveDirectory = 1ULL << 4;
constexpr uint64_t kRemoveFile = 1ULL << 5;
constexpr uint64_t kMakeRegular = 1ULL << 8;

// The ruleset attribute as the newest ABI knows it; older kernels are given its first fields.
struct RulesetAttributes {
  uint64_t handledAccessFileSystem;
  uint64_t handledAccessNetwork;  // ABI 4
  uint64_t scoped;                // ABI 6
};

bool allowBeneath(int ruleset, const char* path, uint64_t access) {
  const UniqueFd directory(open(path, O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!directory) return false;
  landlock_path_beneath_attr rule{};
  rule.allowed_access = access;
  rule.parent_fd = directory.get();
  return syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0) == 0;
}

}  // namespace

int landlockAbi() {
  const long abi =
      syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
  return abi > 0 ? static_cast<int>(abi) : 0;
}

bool restrictFileSystem(const std::filesystem::path& outputDirectory) {
  const int abi = landlockAbi();
  if (abi < 1) return false;
  RulesetAttributes attributes{kFileSystemAccessV1, 0, 0};
  size_t attributesSize = sizeof attributes.handledAccessFileSystem;
  // Removing a directory is allowed only so that a frame renamed onto a directory of its name
  // gets the kernel's own answer, "Is a directory"; rmdir itself is never allowed a call. The
  // directory is opened to be flushed after each frame, never listed (no getdents).
  uint64_t frameFileAccess =
      kWriteFile | kMakeRegular | kRemoveFile | kRemoveDirectory | kReadDirectory;
  if (abi >= 2) attributes.handledAccessFileSystem |= kReferV2;
  if (abi >= 3) {
    attributes.handledAccessFileSystem |= kTruncateV3;
    frameFileAccess |= kTruncateV3;
  }
  if (abi >= 4) {
    attributes.handledAccessNetwork = kBindTcpV4 | kConnectTcpV4;
    attributesSize = offsetof(RulesetAttributes, scoped);
  }
  if (abi >= 5) attributes.handledAccessFileSystem |= kIoctlDeviceV5;
  if (abi >= 6) {
    attributes.scoped = kScopeAbstractUnixSocketV6 | kScopeSignalV6;
    attributesSize = sizeof attributes;
  }
  const UniqueFd ruleset(
      static_cast<int>(syscall(SYS_landlock_create_ruleset, &attributes, attributesSize, 0)));
  if (!ruleset) return false;
  if (!allowBeneath(ruleset.get(), outputDirectory.c_str(), frameFileAccess)) return false;
#ifdef FRAMEPICK_SANITIZED
  // LeakSanitizer lists the threads and the mappings under /proc when the process exits.
  constexpr uint64_t kReadFile = 1ULL << 2;
  if (!allowBeneath(ruleset.get(), "/proc", kReadFile | kReadDirectory)) return false;
#endif
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         syscall(SYS_landlock_restrict_self, ruleset.get(), 0) == 0;
}

}  // namespace framepick
