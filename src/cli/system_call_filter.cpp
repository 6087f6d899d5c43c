// The seccomp allow-list of the system calls a confined run makes.

#include "cli/system_call_filter.h"

#include <fcntl.h>
#include <sched.h>
#include <seccomp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <vector>

namespace framepick {
namespace {

// One allowed call, and the conditions its arguments must all meet.
struct Allowed {
  int call;
  std::vector<scmp_arg_cmp> conditions = {};
};

// The kernel reads these arguments as 32-bit ints, so only their low half is compared.
scmp_arg_cmp argumentIs(unsigned argument, uint32_t value) {
  return {argument, SCMP_CMP_MASKED_EQ, 0xFFFFFFFFu, value};
}
scmp_arg_cmp argumentHasNone(unsigned argument, uint64_t bits) {
  return {argument, SCMP_CMP_MASKED_EQ, bits, 0};
}

#ifdef FRAMEPICK_SANITIZED
constexpr uint64_t kWritingOrPath = O_WRONLY | O_RDWR | O_CREAT | O_TRUNC | O_PATH;
#endif

constexpr uint64_t kNamespaceFlags = CLONE_NEWNS | CLONE_NEWUSER | CLONE_NEWPID | CLONE_NEWNET |
                                     CLONE_NEWIPC | CLONE_NEWUTS | CLONE_NEWCGROUP;

// The list was measured: strace -f of the tool over the test suite's clips, the fuzz regression
// inputs and the benchmark clips (scripts/confined-calls.sh), and the test that runs every
// decoder the tests use with this filter trapping instead of refusing.
std::vector<Allowed> allowedCalls() {
  const uint32_t process = static_cast<uint32_t>(getpid());
  std::vector<Allowed> calls = {
      // Memory: the heap, mappings and thread stacks, never executable. Decoders make no code,
      // so code that takes one over cannot make any either.
      {SCMP_SYS(brk)},
      {SCMP_SYS(munmap)},
      {SCMP_SYS(mremap)},
      {SCMP_SYS(madvise)},
      {SCMP_SYS(mmap), {argumentHasNone(2, PROT_EXEC)}},
      {SCMP_SYS(mprotect), {argumentHasNone(2, PROT_EXEC)}},
      // Threads: the decoders' own and the samples taken in parallel; never a new process or a
      // namespace.
      {SCMP_SYS(clone), {{0, SCMP_CMP_MASKED_EQ, CLONE_THREAD | kNamespaceFlags, CLONE_THREAD}}},
      {SCMP_SYS(futex)},
      {SCMP_SYS(set_robust_list)},
      {SCMP_SYS(rseq)},
      {SCMP_SYS(sched_yield)},
      {SCMP_SYS(gettid)},
      {SCMP_SYS(getpid)},
      {SCMP_SYS(rt_sigprocmask)},
      {SCMP_SYS(rt_sigaction)},
      {SCMP_SYS(rt_sigreturn)},
      {SCMP_SYS(restart_syscall)},
      {SCMP_SYS(exit)},
      {SCMP_SYS(exit_group)},
      // Decoders name their threads and count the cores they may use.
      {SCMP_SYS(prctl), {argumentIs(0, PR_SET_NAME)}},
      {SCMP_SYS(sched_getaffinity), {argumentIs(0, 0)}},
      // abort() signals its own process.
      {SCMP_SYS(tgkill), {argumentIs(0, process)}},
      // This process's own limits, to read or lower; they are hard limits, so none can be raised.
      {SCMP_SYS(prlimit64), {argumentIs(0, 0)}},
      // The input, already open, read where each reading stands; the report on standard output.
      {SCMP_SYS(pread64)},
      {SCMP_SYS(write)},
      {SCMP_SYS(close)},
      // Frame files: made new (never opened for reading, never an existing file), flushed, then
      // renamed into place or removed, and the directory flushed after them. A directory opened
      // so cannot be listed (no getdents). Landlock decides where.
      {SCMP_SYS(openat), {argumentIs(2, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC)}},
      {SCMP_SYS(openat), {argumentIs(2, O_RDONLY | O_DIRECTORY | O_CLOEXEC)}},
      {SCMP_SYS(fsync)},
      {SCMP_SYS(rename)},
      {SCMP_SYS(renameat)},
      {SCMP_SYS(renameat2), {argumentIs(4, 0)}},
      {SCMP_SYS(unlink)},
      {SCMP_SYS(unlinkat), {argumentIs(2, 0)}},
      {SCMP_SYS(getrandom)},  // the temporary files' names
      // Time budgets.
      {SCMP_SYS(clock_gettime)},
      {SCMP_SYS(clock_getres)},
      {SCMP_SYS(gettimeofday)},
      {SCMP_SYS(clock_nanosleep)},
      {SCMP_SYS(nanosleep)},
  };
#ifdef FRAMEPICK_SANITIZED
  // The sanitizers' runtime. UndefinedBehaviorSanitizer tests whether memory can be read by
  // writing it into a pipe. LeakSanitizer, at exit, stops the threads from a traced child that
  // shares our memory and lists them and the mappings under /proc, the one place Landlock lets
  // these builds read.
  const std::vector<Allowed> sanitizer = {
      {SCMP_SYS(pipe2)},
      {SCMP_SYS(read)},
      {SCMP_SYS(open), {argumentHasNone(1, kWritingOrPath)}},
      {SCMP_SYS(openat), {argumentHasNone(2, kWritingOrPath)}},
      {SCMP_SYS(clone)},
      {SCMP_SYS(ptrace)},
      {SCMP_SYS(wait4)},
      {SCMP_SYS(getdents)},
      {SCMP_SYS(getdents64)},
      {SCMP_SYS(lseek)},
      {SCMP_SYS(prctl)},
      {SCMP_SYS(readlink)},
      {SCMP_SYS(getppid)},
      {SCMP_SYS(sigaltstack)},
      {SCMP_SYS(sched_getaffinity)},
  };
  calls.insert(calls.end(), sanitizer.begin(), sanitizer.end());
#endif
  return calls;
}

struct FilterDeleter {
  void operator()(void* filter) const { seccomp_release(filter); }
};
using UniqueFilter = std::unique_ptr<void, FilterDeleter>;

}  // namespace

bool allowOnlyDecodingCalls(Refusal refusal) {
  const UniqueFilter filter(
      seccomp_init(refusal == Refusal::kTrap ? SCMP_ACT_TRAP : SCMP_ACT_ERRNO(EPERM)));
  if (!filter) return false;
  for (const Allowed& allowed : allowedCalls()) {
    if (seccomp_rule_add_array(filter.get(), SCMP_ACT_ALLOW, allowed.call,
                               static_cast<unsigned>(allowed.conditions.size()),
                               allowed.conditions.data()) != 0) {
      return false;
    }
  }
  // clone3 takes its flags in memory, where a filter cannot look; told it does not exist, the C
  // library falls back to clone, whose flags can be checked.
  if (seccomp_rule_add(filter.get(), SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0) != 0) {
    return false;
  }
  return seccomp_load(filter.get()) == 0;
}

}  // namespace framepick
