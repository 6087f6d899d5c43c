#include <csignal>
#include <exception>
#include <string>
#include <vector>

#include "cli/options.h"
#include "cli/run.h"
#include "extract/media.h"

int main(int argc, char** argv) {
  // A reader that closes our standard output must not turn the chosen exit status into a signal.
  std::signal(SIGPIPE, SIG_IGN);
  framepick::silenceMediaLog();
  const std::vector<std::string> arguments(argv, argv + argc);
  try {
    return framepick::run(arguments);
  } catch (const std::exception& exception) {
    // Only a bug or exhausted memory gets here; the caller still gets its one report.
    framepick::fail(framepick::readOptions(arguments).inputPath,
                    std::string("internal_error: ") + exception.what());
  }
}
