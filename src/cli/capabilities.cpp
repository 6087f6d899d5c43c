// Dropping every capability the process holds.

#include "cli/capabilities.h"

#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace framepick {
namespace {

__user_cap_header_struct ownProcess() { return {_LINUX_CAPABILITY_VERSION_3, 0}; }

}  // namespace

bool dropCapabilities() {
  // The bounding set only limits what a later execve could gain, and execve is refused; dropping
  // it needs CAP_SETPCAP, so an unprivileged process leaves it as it is.
  for (int capability = 0;; ++capability) {
    const int held = prctl(PR_CAPBSET_READ, capability);
    if (held < 0) break;  // past the last capability this kernel knows
    if (held == 1) prctl(PR_CAPBSET_DROP, capability);
  }
  prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
  __user_cap_header_struct header = ownProcess();
  __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
  if (syscall(SYS_capset, &header, none) != 0) return false;

  header = ownProcess();
  __user_cap_data_struct held[_LINUX_CAPABILITY_U32S_3] = {};
  if (syscall(SYS_capget, &header, held) != 0) return false;
  for (const __user_cap_data_struct& set : held) {
    if (set.effective != 0 || set.permitted != 0 || set.inheritable != 0) return false;
  }
  return true;  // the ambient set is part of the permitted one
}

}  // namespace framepick
