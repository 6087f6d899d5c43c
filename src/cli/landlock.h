#pragma once

// The Landlock rules that leave only the output directory writable.

#include <filesystem>

namespace framepick {

// Restricts the process for the rest of its life, with every right the kernel's Landlock ABI
// knows, to making, writing, renaming and removing files beneath outputDirectory: nothing else
// can be opened, executed or changed; no TCP bind or connect (ABI 4), no signals or abstract
// sockets outside (ABI 6). False, and nothing changed, when the kernel has no Landlock.
bool restrictFileSystem(const std::filesystem::path& outputDirectory);

// The Landlock ABI the kernel offers, or 0 when it offers none.
int landlockAbi();

}  // namespace framepick
