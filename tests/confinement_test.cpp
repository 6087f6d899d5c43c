// Plays the decoder that a hostile file has taken over: a child confines itself exactly as the
// tool does, then tries every way out that such code would try.

#include "cli/confinement.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <linux/keyctl.h>
#include <sched.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/msg.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>

#include "cli/capabilities.h"
#include "cli/inherited_descriptors.h"
#include "cli/landlock.h"
#include "cli/process_limits.h"
#include "extract/capture.h"
#include "extract/plan.h"
#include "files/atomic_file.h"
#include "media/media.h"
#include "support/fixtures.h"
#include "support/process.h"
#include "support/scratch.h"

namespace framepick::testing {
namespace {

namespace fs = std::filesystem;

constexpr uid_t kNobody = 65534;

// Capabilities are read where the kernel lists them, which a confined process cannot read.
TEST(Confinement, LeavesRootNoCapability) {
  if (getuid() != 0) GTEST_SKIP() << "only root holds capabilities to drop";
  const pid_t child = fork();
  if (child == 0) {
    if (!dropCapabilities()) _exit(1);
    std::ifstream status("/proc/self/status");
    int held = 0;
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("Cap", 0) == 0 &&
          line.find_first_not_of("0", line.find('\t') + 1) != std::string::npos) {
        ++held;
      }
    }
    _exit(held == 0 ? 0 : 2);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// Calls the filter refused while it traps rather than refuses, each handled as a refusal.
std::atomic<int> refusedCount = 0;
std::atomic<long> refusedCalls[64];

void recordRefusal(int, siginfo_t* info, void* context) {
  const int at = refusedCount.fetch_add(1);
  if (at < 64) refusedCalls[at] = info->si_syscall;
  static_cast<ucontext_t*>(context)->uc_mcontext.gregs[REG_RAX] = -EPERM;
}

// Runs `body` in a child that confines itself as a run of the tool does (optionally as another
// user), after the caller left it descriptors, and returns what the body said, then how many
// calls a trapping filter refused.
std::string inConfinedChild(const fs::path& video, const fs::path& output,
                            std::optional<uid_t> user, Refusal refusal,
                            const std::function<void(const AssetHandle&, std::ostream&)>& body) {
  int channel[2];
  if (pipe(channel) != 0) return "no pipe";
  const pid_t child = fork();
  if (child == 0) {
    dup2(channel[1], STDOUT_FILENO);
    silenceMediaLog();
    if (!closeInheritedDescriptors() || !limitResources()) _exit(3);
    const AssetHandle asset = openAsset(video);
    if (user && (setgroups(0, nullptr) != 0 || setgid(*user) != 0 || setuid(*user) != 0)) _exit(4);
    struct sigaction trap {};
    trap.sa_sigaction = recordRefusal;
    trap.sa_flags = SA_SIGINFO;
    if (refusal == Refusal::kTrap) sigaction(SIGSYS, &trap, nullptr);
    std::ostringstream said;
    const Confinement confinement = confineProcess(output, refusal);
    said << "confined: " << confinement.capabilities << confinement.fileSystem
         << confinement.systemCalls << "\n";
    body(asset, said);
    // glibc reads an overcommit setting when a thread's heap first shrinks, and does without it.
    for (int i = 0; i < std::min(refusedCount.load(), 64); ++i) {
      if (refusedCalls[i] != SYS_openat) said << "refused call " << refusedCalls[i] << "\n";
    }
    const std::string text = said.str();
    _exit(write(STDOUT_FILENO, text.data(), text.size()) == ssize_t(text.size()) ? 0 : 5);
  }
  close(channel[1]);
  std::string said;
  char buffer[4096];
  for (ssize_t count; (count = read(channel[0], buffer, sizeof buffer)) > 0;) {
    said.append(buffer, static_cast<size_t>(count));
  }
  close(channel[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    said += "child status " + std::to_string(status);
  return said;
}

struct Attempt {
  std::string name;
  std::function<long()> call;  // -1 with errno when refused
};

// One system call as code that took the process over would make it, bypassing the C library.
template <typename... Arguments>
std::function<long()> raw(long call, Arguments... arguments) {
  return [=] { return syscall(call, arguments...); };
}

// What code inside the process would try, on files, processes and the kernel outside.
std::vector<Attempt> escapes(const fs::path& output, const fs::path& outside, int secret,
                             int inheritedSocket, pid_t parent, int parentSegment) {
  static const std::string file = outside, inside = output / "existing", directory = output,
                           created = outside.parent_path() / "new", around = outside.parent_path();
  const char *in = inside.c_str(), *out = file.c_str(), *made = created.c_str();
  static char scratch[4096] __attribute__((aligned(4096)));
  static rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
  static iovec vector{scratch, 1};
  static __user_cap_header_struct capabilities{_LINUX_CAPABILITY_VERSION_3, 0};
  const int frameFlags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC;
  std::vector<Attempt> attempts = {
      {"read outside", raw(SYS_openat, AT_FDCWD, out, O_RDONLY)},
      {"open outside as a path", raw(SYS_openat, AT_FDCWD, out, O_PATH)},
      {"create outside", raw(SYS_openat, AT_FDCWD, made, O_WRONLY | O_CREAT, 0600)},
      {"create outside as a frame is", raw(SYS_openat, AT_FDCWD, made, frameFlags, 0666)},
      {"read inside", raw(SYS_openat, AT_FDCWD, in, O_RDONLY)},
      {"overwrite inside", raw(SYS_openat, AT_FDCWD, in, O_WRONLY | O_TRUNC)},
      {"open a directory outside",
       raw(SYS_openat, AT_FDCWD, around.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)},
      {"stat outside", raw(SYS_newfstatat, AT_FDCWD, out, scratch, 0)},
      {"stat outside, empty-path flag", raw(SYS_newfstatat, AT_FDCWD, out, scratch, AT_EMPTY_PATH)},
      {"statx outside", raw(SYS_statx, AT_FDCWD, out, 0, STATX_ALL, scratch)},
      {"access outside", raw(SYS_faccessat, AT_FDCWD, out, R_OK)},
      {"chmod outside", raw(SYS_chmod, out, 0644)},
      {"chmod a file inside set-uid", raw(SYS_fchmodat, AT_FDCWD, in, 04755)},
      {"chown outside", raw(SYS_chown, out, -1, -1)},
      {"lchown outside", raw(SYS_lchown, out, -1, -1)},
      {"touch outside", raw(SYS_utimensat, AT_FDCWD, out, nullptr, 0)},
      {"set an attribute outside", raw(SYS_setxattr, out, "user.framepick", "x", 1, 0)},
      {"set a file capability", raw(SYS_setxattr, in, "security.capability", "x", 1, 0)},
      {"remove an attribute outside", raw(SYS_removexattr, out, "user.framepick")},
      {"truncate outside", raw(SYS_truncate, out, 17)},
      {"rename outside", raw(SYS_rename, out, made)},
      {"remove outside", raw(SYS_unlink, out)},
      {"link outside in", raw(SYS_link, out, (directory + "/link").c_str())},
      {"symlink", raw(SYS_symlink, out, (directory + "/symlink").c_str())},
      {"make a fifo", raw(SYS_mknod, (directory + "/fifo").c_str(), S_IFIFO | 0600, 0)},
      {"make a directory", raw(SYS_mkdir, (directory + "/directory").c_str(), 0700)},
      {"watch directories", raw(SYS_inotify_init1, 0)},
      {"read an inherited file", raw(SYS_pread64, secret, scratch, 1, 0)},
      {"write an inherited socket", raw(SYS_write, inheritedSocket, "x", 1)},
      {"type into the terminal", raw(SYS_ioctl, STDIN_FILENO, TIOCSTI, "x")},
      {"signal the parent", raw(SYS_kill, parent, 0)},
      {"signal init", raw(SYS_kill, 1, 0)},
      {"limits of the parent", raw(SYS_prlimit64, parent, RLIMIT_CORE, nullptr, scratch)},
      {"limits of init", raw(SYS_prlimit64, 1, RLIMIT_CORE, nullptr, scratch)},
      {"priority of the parent", raw(SYS_setpriority, PRIO_PROCESS, parent, 0)},
      {"cores of the parent", raw(SYS_sched_setaffinity, parent, 8, scratch)},
      {"scheduler of the parent", raw(SYS_sched_setscheduler, parent, SCHED_OTHER, scratch)},
      {"io priority of the parent", raw(SYS_ioprio_set, 1, parent, 0)},
      {"pidfd of the parent", raw(SYS_pidfd_open, parent, 0)},
      {"pidfd of init", raw(SYS_pidfd_open, 1, 0)},
      {"memory of the parent", raw(SYS_process_vm_readv, parent, &vector, 1, &vector, 1, 0)},
      {"compare with the parent", raw(SYS_kcmp, parent, parent, 0, 0, 0)},
      {"another's shared memory", raw(SYS_shmat, parentSegment, nullptr, SHM_RDONLY)},
      {"shared memory", raw(SYS_shmget, IPC_PRIVATE, 4096, IPC_CREAT | 0600)},
      {"message queue", raw(SYS_msgget, IPC_PRIVATE, IPC_CREAT | 0600)},
      {"semaphores", raw(SYS_semget, IPC_PRIVATE, 1, IPC_CREAT | 0600)},
      {"posix message queue", raw(SYS_mq_open, "framepick", O_RDWR | O_CREAT, 0600, nullptr)},
      {"raise the file size limit", raw(SYS_prlimit64, 0, RLIMIT_FSIZE, &unlimited, nullptr)},
      {"raise the descriptor limit", raw(SYS_prlimit64, 0, RLIMIT_NOFILE, &unlimited, nullptr)},
      {"memfd", raw(SYS_memfd_create, "framepick", 0)},
      {"writable code", raw(SYS_mmap, nullptr, 4096, PROT_READ | PROT_WRITE | PROT_EXEC,
                            MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)},
      {"make data code", raw(SYS_mprotect, scratch, sizeof scratch, PROT_READ | PROT_EXEC)},
      {"regain capabilities", raw(SYS_capset, &capabilities, scratch)},
      {"set user", raw(SYS_setuid, 0)},
      {"user namespace", raw(SYS_unshare, CLONE_NEWUSER)},
      {"enter a namespace", raw(SYS_setns, 0, 0)},
      {"mount", raw(SYS_mount, "none", directory.c_str(), "tmpfs", 0, nullptr)},
      {"change root", raw(SYS_chroot, directory.c_str())},
      {"execve", raw(SYS_execve, "/bin/true", nullptr, nullptr)},
      {"unix socket", raw(SYS_socket, AF_UNIX, SOCK_STREAM, 0)},
      {"socket pair", raw(SYS_socketpair, AF_UNIX, SOCK_STREAM, 0, scratch)},
      {"inet socket", raw(SYS_socket, AF_INET, SOCK_STREAM, 0)},
      {"inet6 socket", raw(SYS_socket, AF_INET6, SOCK_DGRAM, 0)},
      {"netlink socket", raw(SYS_socket, AF_NETLINK, SOCK_RAW, 0)},
      {"packet socket", raw(SYS_socket, AF_PACKET, SOCK_RAW, 0)},
      {"keyring", raw(SYS_keyctl, KEYCTL_GET_KEYRING_ID, KEY_SPEC_SESSION_KEYRING, 0)},
      {"add a key", raw(SYS_add_key, "user", "framepick", "x", 1, KEY_SPEC_PROCESS_KEYRING)},
      {"bpf", raw(SYS_bpf, 0, scratch, 128)},
      {"io_uring", raw(SYS_io_uring_setup, 1, scratch)},
      {"perf events", raw(SYS_perf_event_open, scratch, 0, -1, -1, 0)},
      {"userfaultfd", raw(SYS_userfaultfd, 0)},
      {"quota", raw(SYS_quotactl_fd, secret, 0, 0, nullptr)},
      {"local descriptor table", raw(SYS_modify_ldt, 0, scratch, 16)},
      {"kernel log", raw(SYS_syslog, 10, nullptr, 0)},
      {"personality", raw(SYS_personality, 0xffffffff)},
  };
  // Sanitizer builds leave processes, tracing and reading /proc to LeakSanitizer.
#ifndef FRAMEPICK_SANITIZED
  const std::vector<Attempt> processes = {
      {"readlink", raw(SYS_readlink, "/proc/self/exe", scratch, 64)},
      {"list inside",
       [] {
         const long fd =
             syscall(SYS_openat, AT_FDCWD, directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
         return fd < 0 ? fd : syscall(SYS_getdents64, fd, scratch, sizeof scratch);
       }},
      {"dumpable", raw(SYS_prctl, PR_SET_DUMPABLE, 1)},
      {"trace the parent", raw(SYS_ptrace, PTRACE_SEIZE, parent, nullptr, nullptr)},
      {"fork",
       [] {
         const long pid = syscall(SYS_clone, SIGCHLD, 0, 0, 0, 0);
         if (pid == 0) _exit(0);
         return pid;
       }},
      {"grow past the address space limit",
       raw(SYS_mmap, nullptr, size_t{3} << 30, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS,
           -1, 0)},
  };
  attempts.insert(attempts.end(), processes.begin(), processes.end());
#endif
  return attempts;
}

std::string outcome(long result) {
  return result == -1 ? std::string("refused: ") + std::strerror(errno) : "allowed";
}

fs::path threadedVideo() {
  // Frame threads and B-frames: the decoder starts threads once the process is confined.
  return fixtureVideo(
      "confined.mp4",
      "-f lavfi -i testsrc2=s=640x360:r=25:d=2 -c:v libx264 -preset ultrafast -bf 3");
}

// What the run itself does: frames taken by several threaded decoders at once, written, renamed
// and removed.
void takeFrames(const AssetHandle& asset, const fs::path& output, std::ostream& said) {
  loadAsset(*asset);
  const FrameGeneratorHandle generator = makeFrameGenerator(*asset, 320);
  const CaptureRecords records =
      captureFrames(*generator, sampleFractions(4), assetDurationSeconds(*asset), output, 2);
  said << "frames: " << records.frames.size() << " of 4\n";
  const uint8_t bytes[] = {1, 2, 3};
  const Result<> written = writeFileAtomically(output / "frame-009.jpg", bytes);
  said << "write frame: " << (written.ok() ? "allowed" : written.error().message) << "\n";
  said << "rename frame: "
       << outcome(rename((output / "frame-009.jpg").c_str(), (output / "frame-010.jpg").c_str()))
       << "\n";
  said << "remove frame: " << outcome(unlink((output / "frame-010.jpg").c_str())) << "\n";
}

class Confined : public ::testing::TestWithParam<bool> {};

TEST_P(Confined, CodeTakingOverTheDecoderFindsEveryWayOutShut) {
  const bool asNobody = GetParam();
  if (landlockAbi() == 0) GTEST_SKIP() << "this kernel offers no Landlock";
  if (asNobody && getuid() != 0) GTEST_SKIP() << "only root can become another user";
  ScratchDirectory work;
  const fs::path output = work.path() / "frames", outside = work.path() / "outside.txt";
  fs::create_directory(output);
  fs::permissions(work.path(), fs::perms::all, fs::perm_options::add);
  fs::permissions(output, fs::perms::all, fs::perm_options::add);
  std::ofstream(outside) << "not for framepick";
  std::ofstream(output / "existing") << "not for framepick either";
  const fs::path video = threadedVideo();
  // What the caller leaves open, and another process's shared memory.
  // High numbers, which nothing the child opens itself can take.
  const int opened = open(outside.c_str(), O_RDONLY), secret = fcntl(opened, F_DUPFD, 100);
  close(opened);
  int sockets[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sockets), 0);
  const int low = sockets[0];
  sockets[0] = fcntl(low, F_DUPFD, 100);
  close(low);
  const int segment = shmget(IPC_PRIVATE, 4096, IPC_CREAT | 0666);
  ASSERT_GE(segment, 0);
  const pid_t parent = getpid();

  const std::string said =
      inConfinedChild(video, output, asNobody ? std::optional<uid_t>(kNobody) : std::nullopt,
                      Refusal::kFail, [&](const AssetHandle& asset, std::ostream& said) {
                        for (const Attempt& attempt :
                             escapes(output, outside, secret, sockets[0], parent, segment)) {
                          errno = 0;
                          said << attempt.name << ": " << outcome(attempt.call()) << "\n";
                        }
                        takeFrames(asset, output, said);
                      });
  close(secret);
  close(sockets[0]);
  close(sockets[1]);
  shmctl(segment, IPC_RMID, nullptr);

  std::istringstream lines(said);
  std::string line;
  ASSERT_TRUE(std::getline(lines, line));
  EXPECT_EQ(line, "confined: 111");
  int refused = 0;
  while (std::getline(lines, line) && line.rfind("frames:", 0) != 0) {
    EXPECT_NE(line.find(": refused"), std::string::npos) << line;
    ++refused;
  }
  EXPECT_GE(refused, 70) << said;
  EXPECT_EQ(line, "frames: 4 of 4");
  std::string rest(std::istreambuf_iterator<char>(lines), {});
  EXPECT_EQ(rest, "write frame: allowed\nrename frame: allowed\nremove frame: allowed\n");
  EXPECT_EQ(readWholeFile(outside), "not for framepick");
  EXPECT_FALSE(fs::exists(work.path() / "new"));
  EXPECT_FALSE(fs::exists(output / "link") || fs::exists(output / "directory"));
}

INSTANTIATE_TEST_SUITE_P(AsTheCallerAndAsAnotherUser, Confined, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "nobody" : "caller"; });

// A C library or FFmpeg release that makes a call the list lacks shows up here, by name.
TEST(Confinement, EveryDecoderNeedsOnlyTheAllowedCalls) {
#ifndef __x86_64__
  GTEST_SKIP() << "the trap handler answers for x86-64 only";
#endif
  if (landlockAbi() == 0) GTEST_SKIP() << "this kernel offers no Landlock";
  ScratchDirectory work;
  const fs::path output = work.path() / "frames";
  fs::create_directory(output);
  const std::vector<fs::path> videos = {
      threadedVideo(),
      fixtureVideo("confined-hevc.mkv",
                   "-f lavfi -i testsrc2=s=320x240:r=25:d=2 -c:v libx265 -x265-params log-level=0"),
      // With alpha: libvpx's own decoder reads it.
      fixtureVideo("confined-vp9.webm",
                   "-f lavfi -i testsrc2=s=320x240:r=25:d=2 -vf format=yuva420p -c:v libvpx-vp9 "
                   "-deadline realtime -cpu-used 8"),
      fixtureVideo("confined-av1.mkv",
                   "-f lavfi -i testsrc2=s=160x120:r=10:d=1 -c:v libaom-av1 -cpu-used 8"),
      fixtureVideo("confined-mpeg2.ts", "-f lavfi -i testsrc2=s=320x240:r=25:d=2 -c:v mpeg2video"),
      fixtureVideo("confined-prores.mov",
                   "-f lavfi -i testsrc2=s=320x240:r=25:d=1 -c:v prores_ks "
                   "-profile:v 4444 -pix_fmt yuva444p10le"),
  };
  for (const fs::path& video : videos) {
    SCOPED_TRACE(video.filename());
    const std::string said = inConfinedChild(
        video, output, std::nullopt, Refusal::kTrap,
        [&](const AssetHandle& asset, std::ostream& said) { takeFrames(asset, output, said); });
    EXPECT_EQ(said,
              "confined: 111\nframes: 4 of 4\nwrite frame: allowed\nrename frame: allowed\n"
              "remove frame: allowed\n");
  }
}

// The kernel's own answer, not the confinement's refusal, for a directory in a frame's place.
TEST(Confinement, LeavesADirectoryInAFramesPlaceToSayWhatItIs) {
  ScratchDirectory work;
  fs::create_directories(work.path() / "frames" / "frame-002.jpg");
  const ProcessResult result = runFramepick(
      {"--input", threadedVideo(), "--output-dir", work.path() / "frames", "--max-frames", "3"});
  EXPECT_EQ(result.exitStatus, 0);
  const nlohmann::json failures = nlohmann::json::parse(result.out)["failures"];
  ASSERT_EQ(failures.size(), 1u) << result.out;
  EXPECT_EQ(failures[0]["index"], 2);
  EXPECT_EQ(failures[0]["reason"], "Is a directory");
}

// Callers that require confinement get it or a fatal report before the input is parsed, here
// by a kernel that, as far as the tool can tell, has no Landlock.
TEST(Confinement, IsReportedUnavailableWhereTheCallerRequiresIt) {
  const fs::path video = threadedVideo();
  for (const bool landlock : {true, false}) {
    for (const std::string level : {"best-effort", "required", "requried"}) {
      SCOPED_TRACE(level + (landlock ? "" : " without Landlock"));
      if (landlock && landlockAbi() == 0) continue;
      ScratchDirectory work;
      const ProcessResult result = runFramepick(
          {"--input", video, "--output-dir", work.path() / "frames", "--confinement", level}, {},
          landlock ? std::vector<std::string>{} : std::vector<std::string>{WITHOUT_LANDLOCK});
      const bool refused = !landlock && level != "best-effort";
      EXPECT_EQ(result.exitStatus, refused ? 1 : 0);
      EXPECT_EQ(nlohmann::json::parse(result.out).value("error", ""),
                refused ? "confinement_unavailable" : "");
      EXPECT_EQ(result.err, "");
    }
  }
}

}  // namespace
}  // namespace framepick::testing
