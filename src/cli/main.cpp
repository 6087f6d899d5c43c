// The entry point: runs the stages, prints the one report and exits with its status.

#include <malloc.h>

#include <csignal>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "cli/options.h"
#include "cli/run.h"
#include "media/media.h"
#include "response/json.h"

int main(int argc, char** argv) {
  // A reader that closes our standard output must not turn the chosen exit status into a signal,
  // and a file size limit must fail the write that meets it, not end the process.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  // The report is printed under confinement, where stdio may not look at standard output (fstat,
  // isatty) to choose its buffer: it gets one now.
  static char reportBuffer[BUFSIZ];
  std::setvbuf(stdout, reportBuffer, _IOFBF, sizeof reportBuffer);
  // Pictures and stills of megabytes are made and freed for every sample, on several threads.
  // Fixing glibc's thresholds maps each afresh and gives it back when freed, so the peak is what
  // is alive at once; by default glibc raises them after the first such free and keeps the rest.
  mallopt(M_TRIM_THRESHOLD, 1 << 20);
  framepick::silenceMediaLog();
  const std::vector<std::string> arguments(argv, argv + argc);
  const auto finish = [](const framepick::RunOutcome& outcome) {
    framepick::writeJson(outcome.response);
    return outcome.exitStatus;
  };
  try {
    return finish(framepick::run(arguments));
  } catch (const std::exception& exception) {
    // Only a bug or exhausted memory gets here; the caller still gets its one report.
    return finish(framepick::fail(framepick::readOptions(arguments).inputPath,
                                  std::string("internal_error: ") + exception.what()));
  }
}
