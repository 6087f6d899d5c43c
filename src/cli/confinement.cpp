// Confining the process: capabilities, then the file system, then system calls.

#include "cli/confinement.h"

#include "cli/capabilities.h"
#include "cli/landlock.h"

namespace framepick {

Confinement confineProcess(const std::filesystem::path& outputDirectory, Refusal refusal) {
  // Capabilities first: dropping the bounding set needs one of them.
  const bool capabilities = dropCapabilities();
  const bool fileSystem = restrictFileSystem(outputDirectory);
  return {capabilities, fileSystem, allowOnlyDecodingCalls(refusal)};
}

}  // namespace framepick
