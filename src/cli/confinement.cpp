#include "cli/confinement.h"

#include <fcntl.h>
#include <linux/landlock.h>
#include <sched.h>
#include <seccomp.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <initializer_list>

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
constexpr uint64_t kReadFile = 1ULL << 2;
constexpr uint64_t kReadDirectory = 1ULL << 3;
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

bool restrictFileSystem(const std::filesystem::path& outputDirectory) {
  const int abi = landlockAbi();
  if (abi < 1) return false;
  RulesetAttributes attributes{kFileSystemAccessV1, 0, 0};
  size_t attributesSize = sizeof attributes.handledAccessFileSystem;
  uint64_t frameFileAccess = kWriteFile | kMakeRegular | kRemoveFile;
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
  if (!allowBeneath(ruleset.get(), "/proc", kReadFile | kReadDirectory)) return false;
#endif
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         syscall(SYS_landlock_restrict_self, ruleset.get(), 0) == 0;
}

constexpr int kRefusedCalls[] = {
    // starting programs, and reaching into other processes
    SCMP_SYS(execve), SCMP_SYS(execveat), SCMP_SYS(process_vm_readv), SCMP_SYS(process_vm_writev),
    SCMP_SYS(kcmp), SCMP_SYS(pidfd_getfd),
    // the network and local sockets
    SCMP_SYS(socket), SCMP_SYS(socketpair), SCMP_SYS(connect), SCMP_SYS(bind), SCMP_SYS(listen),
    SCMP_SYS(accept), SCMP_SYS(accept4),
    // file systems and namespaces
    SCMP_SYS(mount), SCMP_SYS(umount2), SCMP_SYS(pivot_root), SCMP_SYS(chroot),
    SCMP_SYS(move_mount), SCMP_SYS(open_tree), SCMP_SYS(fsopen), SCMP_SYS(fsconfig),
    SCMP_SYS(fsmount), SCMP_SYS(fspick), SCMP_SYS(mount_setattr), SCMP_SYS(setns),
    SCMP_SYS(unshare), SCMP_SYS(open_by_handle_at), SCMP_SYS(name_to_handle_at), SCMP_SYS(quotactl),
    SCMP_SYS(fanotify_init),
    // kernel interfaces an exploit reaches for
    SCMP_SYS(add_key), SCMP_SYS(request_key), SCMP_SYS(keyctl), SCMP_SYS(bpf),
    SCMP_SYS(userfaultfd), SCMP_SYS(perf_event_open), SCMP_SYS(io_uring_setup),
    SCMP_SYS(io_uring_enter), SCMP_SYS(io_uring_register),
    // the machine itself
    SCMP_SYS(kexec_load), SCMP_SYS(kexec_file_load), SCMP_SYS(init_module), SCMP_SYS(finit_module),
    SCMP_SYS(delete_module), SCMP_SYS(reboot), SCMP_SYS(swapon), SCMP_SYS(swapoff), SCMP_SYS(acct),
    SCMP_SYS(syslog), SCMP_SYS(settimeofday), SCMP_SYS(clock_settime), SCMP_SYS(clock_adjtime),
    SCMP_SYS(adjtimex), SCMP_SYS(sethostname), SCMP_SYS(setdomainname), SCMP_SYS(iopl),
    SCMP_SYS(ioperm), SCMP_SYS(personality), SCMP_SYS(vhangup)};

struct SeccompDeleter {
  void operator()(void* filter) const { seccomp_release(filter); }
};
using UniqueSeccompFilter = std::unique_ptr<void, SeccompDeleter>;

// A list of what is refused rather than of what is allowed: the system calls a decoder makes
// differ between C libraries and FFmpeg releases, and an allowed call wrongly refused would
// break runs, while these are never needed. Refused calls fail with EPERM; nothing is killed.
bool restrictSystemCalls() {
  const UniqueSeccompFilter filter(seccomp_init(SCMP_ACT_ALLOW));
  if (!filter) return false;
  const uint32_t refuse = SCMP_ACT_ERRNO(EPERM);
  for (const int call : kRefusedCalls) {
    if (seccomp_rule_add(filter.get(), refuse, call, 0) != 0) return false;
  }
#ifndef FRAMEPICK_SANITIZED  // LeakSanitizer stops the threads through a traced child at exit
  for (const int call : {SCMP_SYS(ptrace), SCMP_SYS(fork), SCMP_SYS(vfork)}) {
    if (seccomp_rule_add(filter.get(), refuse, call, 0) != 0) return false;
  }
#endif
  // clone3 takes its flags in memory, where a filter cannot look: the C library then falls back
  // to clone, whose flags can be checked.
  if (seccomp_rule_add(filter.get(), SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0) != 0) {
    return false;
  }
#ifndef FRAMEPICK_SANITIZED
  // Threads, yes (FFmpeg's decoder threads); new processes, no.
  if (seccomp_rule_add(filter.get(), refuse, SCMP_SYS(clone), 1,
                       SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_THREAD, 0)) != 0) {
    return false;
  }
#endif
  for (const uint64_t flag : {CLONE_NEWNS, CLONE_NEWUSER, CLONE_NEWPID, CLONE_NEWNET, CLONE_NEWIPC,
                              CLONE_NEWUTS, CLONE_NEWCGROUP}) {
    if (seccomp_rule_add(filter.get(), refuse, SCMP_SYS(clone), 1,
                         SCMP_A0(SCMP_CMP_MASKED_EQ, flag, flag)) != 0) {
      return false;
    }
  }
  // Typing into the terminal that started us. The kernel reads the request as 32 bits.
  for (const uint64_t request : {uint64_t{TIOCSTI}, uint64_t{TIOCLINUX}}) {
    if (seccomp_rule_add(filter.get(), refuse, SCMP_SYS(ioctl), 1,
                         SCMP_A1(SCMP_CMP_MASKED_EQ, 0xFFFFFFFFu, request)) != 0) {
      return false;
    }
  }
  return seccomp_load(filter.get()) == 0;
}

}  // namespace

int landlockAbi() {
  const long abi =
      syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
  return abi > 0 ? static_cast<int>(abi) : 0;
}

Confinement confineProcess(const std::filesystem::path& outputDirectory) {
  const bool fileSystem = restrictFileSystem(outputDirectory);
  return {fileSystem, restrictSystemCalls()};
}

}  // namespace framepick
