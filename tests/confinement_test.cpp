// Plays the decoder that a hostile file has taken over: a child confines itself exactly as the
// tool does, then tries a way out past each rule that shuts one.

#include "cli/confinement.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <functional>
#include <sstream>

#include "cli/capabilities.h"
#include "cli/inherited_descriptors.h"
#include "cli/landlock.h"
#include "cli/process_limits.h"
#include "extract/capture.h"
#include "extract/plan.h"
#include "support/fixtures.h"

namespace framepick::testing {
namespace {

namespace fs = std::filesystem;

// Capabilities are read where the kernel lists them, which a confined process cannot read.
TEST(Confinement, LeavesRootNoCapability) {
  if (getuid() != 0) GTEST_SKIP() << "only root holds capabilities to drop";
  const pid_t child = fork();
  if (child == 0) {
    if (!dropCapabilities()) _exit(1);
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
      if (line.starts_with("Cap") && line.find_first_not_of("0", line.find('\t') + 1) != line.npos)
        _exit(2);
    }
    _exit(0);
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

// Runs `body` in a child confined as a run is (as `user` if given), after the caller left it
// descriptors; returns what it said, then the calls a trapping filter refused.
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
  std::string said = readWholeFile("/proc/self/fd/" + std::to_string(channel[0]));
  close(channel[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    said += "child status " + std::to_string(status);
  return said;
}

// One system call as code that took the process over would make it, bypassing the C library.
template <typename... Arguments>
std::function<long()> raw(long call, Arguments... arguments) {
  return [=] { return syscall(call, arguments...); };
}

// One of the process's own limits set one past a run's bound: a raise, so refused.
std::function<long()> raiseLimit(int resource, rlim_t pastBound) {
  return [=] {
    const rlimit raised{pastBound, pastBound};
    return syscall(SYS_prlimit64, 0, resource, &raised, nullptr);
  };
}

// Tries a way out past each rule of the confinement, and names those that were not refused.
void tryEscapes(const fs::path& output, const fs::path& outside, int inherited, pid_t parent,
                std::ostream& said) {
  const std::string in = output / "existing", out = outside, around = outside.parent_path(),
                    made = around + "/new", moved = output / "moved", kept = output / "kept",
                    locked = output / "locked" / "frame";
  static char scratch[4096] __attribute__((aligned(4096)));
  rlimit limits{};
  const int frame = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC;
  const std::pair<const char*, std::function<long()>> attempts[] = {
      {"read inside", raw(SYS_openat, AT_FDCWD, in.c_str(), O_RDONLY)},
      {"open outside as a path", raw(SYS_openat, AT_FDCWD, out.c_str(), O_PATH)},
      {"overwrite inside", raw(SYS_openat, AT_FDCWD, in.c_str(), O_WRONLY | O_TRUNC)},
      {"create outside as a frame is", raw(SYS_openat, AT_FDCWD, made.c_str(), frame, 0666)},
      // Only a capability overrides the directory's mode.
      {"create a frame where the mode forbids it",
       raw(SYS_openat, AT_FDCWD, locked.c_str(), frame, 0666)},
      {"open a directory outside",
       raw(SYS_openat, AT_FDCWD, around.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)},
      {"remove outside", raw(SYS_unlink, out.c_str())},
      {"rename inside, with a flag",
       raw(SYS_renameat2, AT_FDCWD, in.c_str(), AT_FDCWD, moved.c_str(), RENAME_NOREPLACE)},
      {"remove a directory inside", raw(SYS_unlinkat, AT_FDCWD, kept.c_str(), AT_REMOVEDIR)},
      {"write an inherited socket", raw(SYS_write, inherited, "x", 1)},
      {"limits of the parent", raw(SYS_prlimit64, parent, RLIMIT_CORE, nullptr, &limits)},
      {"signal the parent", raw(SYS_tgkill, parent, parent, 0)},
      {"raise the file size limit", raiseLimit(RLIMIT_FSIZE, (64 << 20) + 1)},
      {"raise the descriptor limit", raiseLimit(RLIMIT_NOFILE, 65)},
      {"raise the core size limit", raiseLimit(RLIMIT_CORE, 1)},
      {"raise the locked memory limit", raiseLimit(RLIMIT_MEMLOCK, 1)},
      {"writable code", raw(SYS_mmap, nullptr, 4096, PROT_READ | PROT_WRITE | PROT_EXEC,
                            MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)},
      {"make data code",
       raw(SYS_mprotect, scratch, sizeof scratch, PROT_READ | PROT_WRITE | PROT_EXEC)},
      {"user namespace", raw(SYS_unshare, CLONE_NEWUSER)},
      {"mount", raw(SYS_mount, "none", output.c_str(), "tmpfs", 0, nullptr)},
      {"execve", raw(SYS_execve, "/bin/true", nullptr, nullptr)},
      {"socket", raw(SYS_socket, AF_INET, SOCK_STREAM, 0)},
  // Sanitizer builds leave processes, tracing, listing and heap size to LeakSanitizer.
#ifndef FRAMEPICK_SANITIZED
      {"list inside",
       [&] {
         const long fd =
             syscall(SYS_openat, AT_FDCWD, output.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
         return fd < 0 ? fd : syscall(SYS_getdents64, fd, scratch, sizeof scratch);
       }},
      {"dumpable", raw(SYS_prctl, PR_SET_DUMPABLE, 1)},
      {"cores of the parent", raw(SYS_sched_getaffinity, parent, sizeof scratch, scratch)},
      {"trace the parent", raw(SYS_ptrace, PTRACE_SEIZE, parent, nullptr, nullptr)},
      {"fork",
       [] {
         const long pid = syscall(SYS_clone, SIGCHLD, 0, 0, 0, 0);
         if (pid == 0) _exit(0);
         return pid;
       }},
      {"raise the heap limit", raiseLimit(RLIMIT_DATA, (rlim_t{2} << 30) + 1)},
      {"grow past the address space limit",
       raw(SYS_mmap, nullptr, size_t{3} << 30, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS,
           -1, 0)},
#endif
  };
  for (const auto& [name, call] : attempts) {
    if (call() != -1) said << name << ": allowed\n";
  }
}

// Frame threads and B-frames: the decoder starts threads once the process is confined.
fs::path threadedVideo() {
  return fixtureVideo(
      "confined.mp4",
      "-f lavfi -i testsrc2=s=640x360:r=25:d=2 -c:v libx264 -preset ultrafast -bf 3");
}

// What a run does: frames taken by threaded decoders at once, and one removed, as a failed write
// removes its temporary file. A directory in frame 2's place gets the kernel's answer, not ours.
void takeFrames(const AssetHandle& asset, const fs::path& output, std::ostream& said) {
  loadAsset(*asset);
  const FrameGeneratorHandle generator = makeFrameGenerator(*asset, 320);
  const CaptureRecords records =
      captureFrames(*generator, sampleFractions(4), assetDurationSeconds(*asset), output, 2);
  said << "frames: " << records.frames.size() << "\n";
  for (const FailureRecord& failure : records.failures) {
    said << failure.index << ": " << failure.reason << "\n";
  }
  if (records.frames.empty() || unlink((output / records.frames[0].fileName).c_str()) != 0) {
    said << "removing a frame: refused\n";
  }
}

const std::string kConfinedRun = "confined: 111\nframes: 3\n2: Is a directory\n";

class Confined : public ::testing::TestWithParam<bool> {};

TEST_P(Confined, CodeTakingOverTheDecoderFindsEveryWayOutShut) {
  const bool asNobody = GetParam();
  if (landlockAbi() == 0) GTEST_SKIP() << "this kernel offers no Landlock";
  if (asNobody && getuid() != 0) GTEST_SKIP() << "only root can become another user";
  ScratchDirectory work;
  const fs::path output = work.path() / "frames", outside = work.path() / "outside.txt";
  for (const char* name : {"kept", "frame-002.jpg", "locked"})
    fs::create_directories(output / name);
  fs::permissions(output / "locked", fs::perms::owner_read | fs::perms::owner_exec);
  fs::permissions(work.path(), fs::perms::all, fs::perm_options::add);
  fs::permissions(output, fs::perms::all, fs::perm_options::add);
  std::ofstream(outside) << "not for framepick";
  std::ofstream(output / "existing") << "not for framepick either";
  // What the caller leaves open, at a number that nothing the child opens itself can take.
  int sockets[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sockets), 0);
  const int inherited = fcntl(sockets[0], F_DUPFD, 100);
  const pid_t parent = getpid();
  const std::string said = inConfinedChild(
      threadedVideo(), output, asNobody ? std::optional<uid_t>(65534) : std::nullopt,
      Refusal::kFail, [&](const AssetHandle& asset, std::ostream& said) {
        tryEscapes(output, outside, inherited, parent, said);
        takeFrames(asset, output, said);
      });
  for (const int fd : {sockets[0], sockets[1], inherited}) close(fd);
  EXPECT_EQ(said, kConfinedRun);
  EXPECT_EQ(readWholeFile(outside), "not for framepick");
  EXPECT_FALSE(fs::exists(work.path() / "new"));
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
  fs::create_directories(output / "frame-002.jpg");
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
    EXPECT_EQ(inConfinedChild(video, output, std::nullopt, Refusal::kTrap,
                              [&](const AssetHandle& asset, std::ostream& said) {
                                takeFrames(asset, output, said);
                              }),
              kConfinedRun);
  }
}

// Callers that require confinement (any level but best-effort) get it, or a fatal report before
// the input is parsed, here from a kernel that seems to have no Landlock.
TEST(Confinement, IsReportedUnavailableWhereTheCallerRequiresIt) {
  for (const auto& [landlock, level, error] : {std::tuple{true, "required", ""},
                                               {false, "best-effort", ""},
                                               {false, "requried", "confinement_unavailable"}}) {
    SCOPED_TRACE(level + std::string(landlock ? "" : " without Landlock"));
    if (landlock && landlockAbi() == 0) continue;
    ScratchDirectory work;
    const ProcessResult result = runFramepick(
        {"--input", threadedVideo(), "--output-dir", work.path() / "frames", "--confinement",
         level},
        {}, landlock ? std::vector<std::string>{} : std::vector<std::string>{WITHOUT_LANDLOCK});
    EXPECT_EQ(result.exitStatus, *error ? 1 : 0);
    EXPECT_EQ(nlohmann::json::parse(result.out).value("error", ""), error);
  }
}

}  // namespace
}  // namespace framepick::testing
