// Faults met while a run goes on, on the real file system and the real clock: each costs only
// the samples it hits, which say why, and leaves no partial or temporary file behind.

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <set>

#include "support/fixtures.h"
#include "support/process.h"
#include "support/scratch.h"

namespace framepick::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// Twelve samples of this take long enough that a run can be stopped after its first frame.
fs::path numbered1080p() {
  return fixtureVideo("numbered-1080p.mp4",
                      {"-f", "lavfi", "-i", numberedFramesSource(1920, 1080, 30, 6), "-c:v",
                       "libx264", "-preset", "ultrafast", "-g", "60"});
}

// Busy pictures, so each still is some 27 kB.
fs::path busy360p() {
  return fixtureVideo("busy-360p.mp4", {"-f", "lavfi", "-i", "testsrc2=s=640x360:r=30:d=4", "-c:v",
                                        "libx264", "-preset", "ultrafast", "-g", "30"});
}

// A small tmpfs mounted for the test's lifetime; mounting needs root.
class Tmpfs {
 public:
  explicit Tmpfs(const std::string& size) : path_(scratch_.path() / "mount") {
    fs::create_directory(path_);
    const std::string options = "size=" + size;
    mounted_ = mount("tmpfs", path_.c_str(), "tmpfs", 0, options.c_str()) == 0;
    error_ = errno;
  }
  ~Tmpfs() {
    if (mounted_) umount2(path_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  std::string error() const { return std::strerror(error_); }
  const fs::path& path() const { return path_; }

  // Fails with EBUSY while a file on it is open for writing.
  bool remountReadOnly() {
    return mount("tmpfs", path_.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr) == 0;
  }

 private:
  ScratchDirectory scratch_;
  fs::path path_;
  bool mounted_ = false;
  int error_ = 0;
};

std::set<std::string> entries(const fs::path& directory) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

std::string readFile(const fs::path& path) {
  std::ifstream stream(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
}

struct Outcome {
  ProcessResult result;
  json report;
};

Outcome finish(StartedProcess& process) {
  ProcessResult result = process.wait();
  expectReportFollowsSchema(result);
  EXPECT_EQ(result.err, "");
  EXPECT_TRUE(result.out.ends_with("}\n"))
      << "exit status " << result.exitStatus << ": " << result.out;
  json report = json::parse(result.out);
  return {std::move(result), std::move(report)};
}

// Runs framepick on twelve samples into the existing directory `output`, stops it as soon as its
// first frame file is in place, lets `fault` act, and lets it finish.
Outcome runWithFaultAfterFirstFrame(const fs::path& output, const std::function<void()>& fault) {
  const int watch = inotify_init1(IN_CLOEXEC);
  EXPECT_GE(watch, 0);
  EXPECT_GE(inotify_add_watch(watch, output.c_str(), IN_MOVED_TO), 0);
  const std::vector<std::string> command = framepickCommand(
      {"--input", numbered1080p().string(), "--output-dir", output.string(), "--max-frames", "12"});
  StartedProcess process(command.front(), {command.begin() + 1, command.end()});

  bool seen = false;
  alignas(inotify_event) char events[4096];
  pollfd ready{watch, POLLIN, 0};
  while (!seen && poll(&ready, 1, 60'000) == 1) {
    const ssize_t length = read(watch, events, sizeof events);
    for (ssize_t at = 0; at < length;) {
      const auto* event = reinterpret_cast<const inotify_event*>(events + at);
      seen = seen || (event->len > 0 && std::strcmp(event->name, "frame-001.jpg") == 0);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  close(watch);
  EXPECT_TRUE(seen) << "the first frame never arrived";
  kill(process.pid(), SIGSTOP);
  int status = 0;
  waitpid(process.pid(), &status, WUNTRACED);
  EXPECT_TRUE(WIFSTOPPED(status)) << "the run ended before it could be stopped, status " << status;
  fault();
  kill(process.pid(), SIGCONT);
  return finish(process);
}

// Frames that were written are whole and listed; every later sample failed with `reason`.
void expectCutShort(const json& report, const fs::path& output, const std::string& reason) {
  EXPECT_TRUE(report["ok"]);
  ASSERT_FALSE(report["frames"].empty());
  ASSERT_FALSE(report["failures"].empty()) << "the run ended before the fault";
  const int64_t lastFrame = report["frames"].back()["index"];
  for (const json& failure : report["failures"]) {
    EXPECT_EQ(failure["reason"], reason);
    EXPECT_GT(failure["index"].get<int64_t>(), lastFrame);
  }
  EXPECT_EQ(report["frames"].size() + report["failures"].size(), 12u);
  if (!fs::exists(output)) return;
  std::set<std::string> listed;
  for (const json& frame : report["frames"]) {
    const std::string name = frame["fileName"];
    listed.insert(name);
    EXPECT_EQ(decodeJpegFile(output / name).width, frame["width"]) << name;
  }
  EXPECT_EQ(entries(output), listed);
}

TEST(Faults, OutputDirectoryRemovedDuringTheRun) {
  ScratchDirectory work;
  const fs::path output = work.path() / "frames";
  fs::create_directory(output);
  const Outcome outcome = runWithFaultAfterFirstFrame(output, [&] { fs::remove_all(output); });
  EXPECT_EQ(outcome.result.exitStatus, 0);
  expectCutShort(outcome.report, output, "No such file or directory");
  EXPECT_FALSE(fs::exists(output));
}

TEST(Faults, OutputDirectoryMadeReadOnlyDuringTheRun) {
  Tmpfs tmpfs("16m");
  if (!tmpfs.mounted()) GTEST_SKIP() << "cannot mount a tmpfs: " << tmpfs.error();
  std::string earlierFrame;
  const Outcome outcome = runWithFaultAfterFirstFrame(tmpfs.path(), [&] {
    earlierFrame = readFile(tmpfs.path() / "frame-001.jpg");
    // The run may be stopped inside a write: let it reach the next sample.
    for (int attempt = 0; attempt < 100 && !tmpfs.remountReadOnly(); ++attempt) {
      ASSERT_EQ(errno, EBUSY);
      usleep(1000);
    }
  });
  EXPECT_EQ(outcome.result.exitStatus, 0);
  expectCutShort(outcome.report, tmpfs.path(), "Read-only file system");
  EXPECT_EQ(readFile(tmpfs.path() / "frame-001.jpg"), earlierFrame);
}

TEST(Faults, FullFileSystemFailsTheFramesThatDoNotFit) {
  Tmpfs tmpfs("100k");
  if (!tmpfs.mounted()) GTEST_SKIP() << "cannot mount a tmpfs: " << tmpfs.error();
  const ProcessResult result = runFramepick({"--input", busy360p().string(), "--output-dir",
                                             tmpfs.path().string(), "--max-frames", "12"});
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.err, "");
  const json report = json::parse(result.out);
  ASSERT_FALSE(report["frames"].empty()) << result.out;
  ASSERT_FALSE(report["failures"].empty()) << result.out;
  for (const json& failure : report["failures"]) {
    EXPECT_EQ(failure["reason"], "No space left on device");
  }
  std::set<std::string> listed;
  for (const json& frame : report["frames"]) {
    listed.insert(frame["fileName"].get<std::string>());
    EXPECT_EQ(decodeJpegFile(tmpfs.path() / frame["fileName"].get<std::string>()).width, 640);
  }
  EXPECT_EQ(entries(tmpfs.path()), listed);
}

// A run starved of time (stopped here; on a real machine, swapped out or overloaded) ends within
// its budget: the samples left when the 60 s for all captures are up are not tried.
TEST(Faults, SamplesLeftWhenTheTimeBudgetIsUpAreNotTried) {
  ScratchDirectory work;
  const fs::path output = work.path() / "frames";
  fs::create_directory(output);
  const Outcome outcome = runWithFaultAfterFirstFrame(output, [] { sleep(61); });
  EXPECT_EQ(outcome.result.exitStatus, 0);
  const json& failures = outcome.report["failures"];
  ASSERT_GE(failures.size(), 10u) << outcome.result.out;
  for (const json& failure : failures) {
    // The sample under way when the run was stopped may still end in time or just run out.
    if (failure["index"] == 2 && failure["reason"].get<std::string>().starts_with("gave up")) {
      continue;
    }
    EXPECT_EQ(failure["reason"],
              "not tried: the samples before it used up the 60 s all samples may take");
  }
}

// A file size limit (ulimit -f) fails each write that meets it instead of killing the run; the
// frame an earlier run left stays as it was.
TEST(Faults, FileSizeLimitFailsTheWritesAndKeepsEarlierFiles) {
  ScratchDirectory output;
  const std::string earlierFrame = "an earlier run's frame";
  { std::ofstream(output.path() / "frame-001.jpg") << earlierFrame; }
  const std::vector<std::string> command = framepickCommand(
      {"--input", busy360p().string(), "--output-dir", output.path().string(), "--max-frames", "3"},
      {"prlimit", "--fsize=4096"});
  StartedProcess process(command.front(), {command.begin() + 1, command.end()});
  const Outcome outcome = finish(process);
  EXPECT_EQ(outcome.result.exitStatus, 2);
  EXPECT_EQ(outcome.report["error"], "no_frames_extracted");
  ASSERT_EQ(outcome.report["failures"].size(), 3u);
  for (const json& failure : outcome.report["failures"]) {
    EXPECT_EQ(failure["reason"], "File too large");
  }
  EXPECT_EQ(entries(output.path()), std::set<std::string>{"frame-001.jpg"});
  EXPECT_EQ(readFile(output.path() / "frame-001.jpg"), earlierFrame);
}

}  // namespace
}  // namespace framepick::testing
