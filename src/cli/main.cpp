#include <sys/resource.h>

#include <csignal>
#include <exception>
#include <string>
#include <vector>

#include "cli/options.h"
#include "cli/run.h"
#include "media/media.h"
#include "response/json.h"

namespace {

// Whatever a file makes the demuxers and decoders allocate, the heap stays below this: past it
// an allocation fails, and with it the probe or the sample that asked.
constexpr rlim_t kMaxDataBytes = rlim_t{2} << 30;

void limitMemory() {
#ifndef FRAMEPICK_SANITIZED  // AddressSanitizer's shadow memory alone counts as terabytes of data
  rlimit limit{};
  if (getrlimit(RLIMIT_DATA, &limit) == 0 && limit.rlim_cur > kMaxDataBytes) {
    limit.rlim_cur = kMaxDataBytes;
    setrlimit(RLIMIT_DATA, &limit);
  }
#endif
}

}  // namespace

int main(int argc, char** argv) {
  // A reader that closes our standard output must not turn the chosen exit status into a signal,
  // and a file size limit must fail the write that meets it, not end the process.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  limitMemory();
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
