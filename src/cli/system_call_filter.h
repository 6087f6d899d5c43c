#pragma once

// The seccomp allow-list of the system calls a confined run makes.

namespace framepick {

// What a system call outside the allowed list gets.
enum class Refusal {
  kFail,  // it fails with EPERM, as a run needs
  kTrap,  // SIGSYS, so that a test can name every refused call; the test handles the signal
};

// Allows, for the rest of the process's life, only the system calls that decoding an open input
// and writing frame files make. Returns false, and changes nothing, when the kernel has no
// seccomp filters.
bool allowOnlyDecodingCalls(Refusal refusal);

}  // namespace framepick
