#pragma once

// Frame files land whole or not at all, and stay landed.

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <span>

#include "error.h"

namespace framepick {

// The system calls an atomic write makes, in one place so that tests can make each of them fail.
struct FileSystemCalls {
  int (*createExclusive)(const char* path);  // write-only, new file only, usual mode for new files
  ssize_t (*write)(int fd, const void* bytes, size_t count);
  int (*fsync)(int fd);
  int (*close)(int fd);
  int (*rename)(const char* from, const char* to);
  int (*unlink)(const char* path);
  int (*openDirectory)(const char* path);  // read-only, for fsync
};

extern const FileSystemCalls kSystemFileCalls;

// Writes the bytes to a temporary file beside the target, flushes it, renames it over the target
// and flushes the directory that holds the new name: once this succeeds, the whole file is there
// under its name and stays there through a crash. Until then the target is either untouched, or
// gone when the directory could not be flushed. A link at the target is replaced, not followed.
// A directory that may not be opened for reading (its mode, or the process's confinement) is
// left as the file system keeps it. The error carries the system's description of the first
// failure.
Result<> writeFileAtomically(const std::filesystem::path& target, std::span<const uint8_t> bytes,
                             const FileSystemCalls& calls = kSystemFileCalls);

}  // namespace framepick
