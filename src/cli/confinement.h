#pragma once

#include <filesystem>

namespace framepick {

// Which of the kernel's layers took hold; a kernel without one runs the tool without it.
struct Confinement {
  bool fileSystem;   // Landlock
  bool systemCalls;  // seccomp
};

// Confines the process for the rest of its life to what reading an already open input and
// writing frame files needs: files may be created, written, renamed and removed beneath
// outputDirectory and nothing else can be opened; no program can be started, no socket made, no
// other process traced. Call it once the input is open and before any of its bytes are parsed.
Confinement confineProcess(const std::filesystem::path& outputDirectory);

// The Landlock ABI the kernel offers, or 0 when it offers none.
int landlockAbi();

}  // namespace framepick
