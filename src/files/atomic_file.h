#pragma once

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
};

extern const FileSystemCalls kSystemFileCalls;

// Writes the bytes to a temporary file beside the target, then renames it over the target: the
// target is either untouched or whole. A link at the target is replaced, not followed. The error
// carries the system's description of the first failure.
Result<> writeFileAtomically(const std::filesystem::path& target, std::span<const uint8_t> bytes,
                             const FileSystemCalls& calls = kSystemFileCalls);

}  // namespace framepick
