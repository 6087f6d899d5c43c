#pragma once

// Confining the process, and which of its layers took hold.

#include <filesystem>

#include "cli/system_call_filter.h"

namespace framepick {

// Which layers took hold. A kernel without one runs the tool without it, unless the caller
// requires them all.
struct Confinement {
  bool capabilities;  // none left, not even as root
  bool fileSystem;    // Landlock
  bool systemCalls;   // the seccomp allow-list

  bool complete() const { return capabilities && fileSystem && systemCalls; }
};

// Confines the process for the rest of its life to what reading an already open input and
// writing frame files needs: files may be created, written, renamed and removed beneath
// outputDirectory and nothing else can be opened, looked at or changed; no program can be
// started, no socket made, no other process reached. Call it once the input is open and before
// any of its bytes are parsed, while the process has one thread: the layers hold for the calling
// thread and every thread it starts later.
Confinement confineProcess(const std::filesystem::path& outputDirectory,
                           Refusal refusal = Refusal::kFail);

}  // namespace framepick
