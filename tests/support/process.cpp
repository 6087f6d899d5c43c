#include "support/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>

namespace framepick::testing {

ProcessResult runProcess(const std::string& program, const std::vector<std::string>& arguments,
                         const std::filesystem::path& workingDirectory) {
  // exec does not change the strings it is given.
  std::vector<char*> argv = {const_cast<char*>(program.c_str())};
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  const ScratchDirectory captures;
  const std::string out = captures.path() / "out", err = captures.path() / "err";
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("cannot start " + program);
  if (pid == 0) {
    // Only async-signal-safe calls from here to exec. SIGXFSZ starts at its default action,
    // ending the process, whatever the test runner does: the program must turn it off itself.
    dup2(open("/dev/null", O_RDONLY), 0);
    dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
    dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
    signal(SIGXFSZ, SIG_DFL);
    if (workingDirectory.empty() || chdir(workingDirectory.c_str()) == 0)
      execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  pid_t ended = 0;
  while ((ended = wait4(pid, &status, 0, &usage)) < 0 && errno == EINTR) continue;
  const bool exited = ended == pid && WIFEXITED(status);
  return {exited ? WEXITSTATUS(status) : -1, readWholeFile(out), readWholeFile(err),
          usage.ru_maxrss};
}

ProcessResult runFramepick(const std::vector<std::string>& arguments,
                           const std::filesystem::path& workingDirectory,
                           const std::vector<std::string>& launcher) {
  std::vector<std::string> command = launcher;
  const char* wrapper = std::getenv("FRAMEPICK_TEST_WRAPPER");
  std::istringstream words(wrapper ? wrapper : "");
  for (std::string word; words >> word;) command.push_back(word);
  command.push_back(FRAMEPICK_BINARY);
  command.insert(command.end(), arguments.begin(), arguments.end());
  ProcessResult result =
      runProcess(command.front(), {command.begin() + 1, command.end()}, workingDirectory);
  // Callers are promised one document that follows the published schema, and nothing on
  // standard error, whatever the run met.
  if (result.exitStatus != 127) {
    EXPECT_EQ(result.err, "");
    const ScratchDirectory work;
    std::ofstream(work.path() / "report.json", std::ios::binary) << result.out;
    const ProcessResult checked =
        runProcess(FRAMEPICK_SCHEMA_PYTHON, {FRAMEPICK_REPORT_CHECKER, FRAMEPICK_REPORT_SCHEMA,
                                             (work.path() / "report.json").string()});
    EXPECT_EQ(checked.exitStatus, 0) << checked.out << checked.err << "the report:\n" << result.out;
  }
#ifndef FRAMEPICK_SANITIZED
  if (command.front() == FRAMEPICK_BINARY) return result;
#endif
  result.maxResidentKilobytes.reset();
  return result;
}

}  // namespace framepick::testing
