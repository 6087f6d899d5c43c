#include "support/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "support/report_schema.h"

extern char** environ;

namespace framepick::testing {
namespace {

std::string readWhole(const std::filesystem::path& path) {
  std::ifstream stream(path, std::ios::binary);
  std::ostringstream text;
  text << stream.rdbuf();
  return text.str();
}

}  // namespace

StartedProcess::StartedProcess(const std::string& program,
                               const std::vector<std::string>& arguments,
                               const std::filesystem::path& workingDirectory) {
  const std::string outPath = (captures_.path() / "out").string();
  const std::string errPath = (captures_.path() / "err").string();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  if (!workingDirectory.empty()) {
    posix_spawn_file_actions_addchdir_np(&actions, workingDirectory.c_str());
  }
  // SIGXFSZ starts at its default action, ending the process, whatever the test runner does:
  // the program under test must turn it off itself.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGXFSZ);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);

  std::vector<std::string> argv = {program};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::vector<char*> pointers;
  for (std::string& argument : argv) pointers.push_back(argument.data());
  pointers.push_back(nullptr);
  const int spawned =
      posix_spawnp(&pid_, program.c_str(), &actions, &attributes, pointers.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) throw std::runtime_error("cannot start " + program);
}

StartedProcess::~StartedProcess() {
  if (waited_) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
}

ProcessResult StartedProcess::wait() {
  int status = 0;
  rusage usage{};
  pid_t ended = 0;
  do {
    ended = wait4(pid_, &status, 0, &usage);
  } while (ended < 0 && errno == EINTR);
  waited_ = true;
  const bool exited = ended == pid_ && WIFEXITED(status);
  return {exited ? WEXITSTATUS(status) : -1, readWhole(captures_.path() / "out"),
          readWhole(captures_.path() / "err"), usage.ru_maxrss};
}

ProcessResult runProcess(const std::string& program, const std::vector<std::string>& arguments,
                         const std::filesystem::path& workingDirectory) {
  return StartedProcess(program, arguments, workingDirectory).wait();
}

std::vector<std::string> framepickCommand(const std::vector<std::string>& arguments,
                                          const std::vector<std::string>& launcher) {
  std::vector<std::string> command = launcher;
  if (const char* wrapper = std::getenv("FRAMEPICK_TEST_WRAPPER")) {
    std::istringstream words(wrapper);
    for (std::string word; words >> word;) command.push_back(word);
  }
  command.push_back(FRAMEPICK_BINARY);
  command.insert(command.end(), arguments.begin(), arguments.end());
  return command;
}

void expectReportFollowsSchema(const ProcessResult& result) {
  // Callers are promised a document that follows the published schema, whatever the run met.
  const std::string violations = reportSchemaViolations(result.out);
  if (!violations.empty()) {
    ADD_FAILURE() << "the report does not follow the schema:\n" << violations << result.out;
  }
}

ProcessResult runFramepick(const std::vector<std::string>& arguments,
                           const std::filesystem::path& workingDirectory) {
  const std::vector<std::string> command = framepickCommand(arguments);
  ProcessResult result =
      runProcess(command.front(), {command.begin() + 1, command.end()}, workingDirectory);
  expectReportFollowsSchema(result);
  return result;
}

}  // namespace framepick::testing
