#include "support/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "support/report_schema.h"

namespace framepick::testing {
StartedProcess::StartedProcess(const std::string& program,
                               const std::vector<std::string>& arguments,
                               const std::filesystem::path& workingDirectory) {
  // exec does not change the strings it is given.
  std::vector<char*> argv = {const_cast<char*>(program.c_str())};
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  const std::string out = captures_.path() / "out";
  const std::string err = captures_.path() / "err";
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("cannot start " + program);
  if (pid_ > 0) return;
  // Only async-signal-safe calls from here to exec. SIGXFSZ starts at its default action, ending
  // the process, whatever the test runner does: the program under test must turn it off itself.
  dup2(open("/dev/null", O_RDONLY), 0);
  dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
  dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
  signal(SIGXFSZ, SIG_DFL);
  if (workingDirectory.empty() || chdir(workingDirectory.c_str()) == 0) {
    execvp(argv[0], argv.data());
  }
  _exit(127);
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
  while ((ended = wait4(pid_, &status, 0, &usage)) < 0 && errno == EINTR) continue;
  waited_ = true;
  const bool exited = ended == pid_ && WIFEXITED(status);
  return {exited ? WEXITSTATUS(status) : -1, readWholeFile(captures_.path() / "out"),
          readWholeFile(captures_.path() / "err"), usage.ru_maxrss};
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

std::string reportSchemaViolations(const std::string& document) {
  ScratchDirectory work;
  const std::filesystem::path path = work.path() / "report.json";
  std::ofstream(path, std::ios::binary) << document;
  const ProcessResult checked = runProcess(
      FRAMEPICK_SCHEMA_PYTHON, {FRAMEPICK_REPORT_CHECKER, FRAMEPICK_REPORT_SCHEMA, path.string()});
  if (checked.exitStatus == 0) return "";
  // A document that is not JSON at all ends the checker with a traceback on standard error.
  return "schema check exited with status " + std::to_string(checked.exitStatus) + ":\n" +
         checked.out + checked.err;
}

void expectReportFollowsSchema(const ProcessResult& result) {
  // Callers are promised a document that follows the published schema, whatever the run met.
  EXPECT_EQ(reportSchemaViolations(result.out), "") << "the report:\n" << result.out;
}

ProcessResult runFramepick(const std::vector<std::string>& arguments,
                           const std::filesystem::path& workingDirectory) {
  const std::vector<std::string> command = framepickCommand(arguments);
  ProcessResult result =
      runProcess(command.front(), {command.begin() + 1, command.end()}, workingDirectory);
  expectReportFollowsSchema(result);
#ifndef FRAMEPICK_SANITIZED
  if (std::getenv("FRAMEPICK_TEST_WRAPPER") == nullptr) return result;
#endif
  result.maxResidentKilobytes.reset();
  return result;
}

}  // namespace framepick::testing
