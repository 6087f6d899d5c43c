// The resource limits a run lowers for itself.

#include "cli/process_limits.h"

#include <sys/resource.h>

#include <algorithm>

namespace framepick {
namespace {

constexpr rlim_t kMiB = rlim_t{1} << 20;

// Lowers both the soft and the hard limit to at most `bound`.
bool limit(int resource, rlim_t bound) {
  rlimit current{};
  if (getrlimit(resource, &current) != 0) return false;
  const rlimit lowered{std::min(current.rlim_cur, bound), std::min(current.rlim_max, bound)};
  return setrlimit(resource, &lowered) == 0;
}

}  // namespace

bool limitResources() {
  bool limited = true;
#ifndef FRAMEPICK_SANITIZED  // AddressSanitizer's shadow memory alone counts as terabytes
  constexpr rlim_t kGiB = rlim_t{1} << 30;
  // The heap, whatever a file makes the demuxers and decoders allocate: past it an allocation
  // fails, and with it the probe or the sample that asked. The address space bounds the rest
  // (shared and file mappings, thread stacks, malloc's reservations): a 4K 10-bit HEVC run at
  // the largest stills needs less than 1 GiB of it.
  limited = limit(RLIMIT_DATA, 2 * kGiB) && limited;
  limited = limit(RLIMIT_AS, 3 * kGiB) && limited;
#endif
  // A still at 2400 pixels is a few megabytes; no file written may fill the disk.
  limited = limit(RLIMIT_FSIZE, 64 * kMiB) && limited;
  // The input, standard streams, a frame file per decoder, and what the sanitizers open at exit.
  limited = limit(RLIMIT_NOFILE, 64) && limited;
  limited = limit(RLIMIT_MEMLOCK, 0) && limited;
  limited = limit(RLIMIT_CORE, 0) && limited;
  return limited;
}

}  // namespace framepick
