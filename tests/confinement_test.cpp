#include "cli/confinement.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "files/atomic_file.h"
#include "media/media.h"
#include "support/fixtures.h"
#include "support/scratch.h"

namespace framepick::testing {
namespace {

namespace fs = std::filesystem;

std::string outcome(int status) { return status >= 0 ? "allowed" : std::strerror(errno); }

// What a confined process may still do, as the tool confines itself: run in a child, since the
// confinement lasts for the life of the process.
std::string confinedChild(const fs::path& video, const fs::path& output, const fs::path& outside) {
  silenceMediaLog();
  const AssetHandle asset = openAsset(video);
  const Confinement confinement = confineProcess(output);
  std::ostringstream said;
  said << "landlock " << confinement.fileSystem << ", seccomp " << confinement.systemCalls << "\n";
  said << "read outside: " << outcome(open(outside.c_str(), O_RDONLY)) << "\n";
  said << "write outside: "
       << outcome(open((outside.parent_path() / "new").c_str(), O_WRONLY | O_CREAT, 0600)) << "\n";
  said << "read inside: " << outcome(open((output / "existing").c_str(), O_RDONLY)) << "\n";
  char* const arguments[] = {const_cast<char*>("/bin/true"), nullptr};
  said << "execve: " << outcome(execve("/bin/true", arguments, environ)) << "\n";
  said << "socket: " << outcome(socket(AF_INET, SOCK_STREAM, 0)) << "\n";

  const uint8_t bytes[] = {1, 2, 3};
  const Result<> written = writeFileAtomically(output / "frame-001.jpg", bytes);
  said << "write frame: " << (written.ok() ? "allowed" : written.error().message) << "\n";
  said << "rename frame: "
       << outcome(rename((output / "frame-001.jpg").c_str(), (output / "frame-002.jpg").c_str()))
       << "\n";
  said << "remove frame: " << outcome(unlink((output / "frame-002.jpg").c_str())) << "\n";

  loadAsset(*asset);
  const FrameGeneratorHandle generator = makeFrameGenerator(*asset, 320);
  const Result<CapturedImage> image = copyImageAtTime(*generator, 1.0);
  said << "decode: " << (image.ok() ? "allowed" : image.error().message) << "\n";
  return said.str();
}

TEST(Confinement, LeavesFrameFilesInTheOutputDirectoryAndNothingElse) {
  if (landlockAbi() == 0) GTEST_SKIP() << "this kernel offers no Landlock";
  ScratchDirectory work;
  const fs::path output = work.path() / "frames", outside = work.path() / "outside.txt";
  fs::create_directory(output);
  std::ofstream(outside) << "not for framepick";
  std::ofstream(output / "existing") << "not for framepick either";
  // Frame threads and B-frames: the decoder starts threads after the confinement.
  const fs::path video =
      fixtureVideo("confined.mp4",
                   "-f lavfi -i testsrc2=s=640x360:r=25:d=2 -c:v libx264 -preset ultrafast -bf 3");

  int channel[2];
  ASSERT_EQ(pipe(channel), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(channel[0]);
    const std::string said = confinedChild(video, output, outside);
    const bool sent = write(channel[1], said.data(), said.size()) == ssize_t(said.size());
    _exit(sent ? 0 : 1);
  }
  close(channel[1]);
  std::string said;
  char buffer[4096];
  for (ssize_t count; (count = read(channel[0], buffer, sizeof buffer)) > 0;) {
    said.append(buffer, static_cast<size_t>(count));
  }
  close(channel[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(said,
            "landlock 1, seccomp 1\n"
            "read outside: Permission denied\n"
            "write outside: Permission denied\n"
            "read inside: Permission denied\n"
            "execve: Operation not permitted\n"
            "socket: Operation not permitted\n"
            "write frame: allowed\n"
            "rename frame: allowed\n"
            "remove frame: allowed\n"
            "decode: allowed\n");
  EXPECT_FALSE(fs::exists(work.path() / "new"));
}

}  // namespace
}  // namespace framepick::testing
