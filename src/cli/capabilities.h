#pragma once

// Dropping every capability the process holds.

namespace framepick {

// Drops every capability the process holds: the bounding set (where it may), then the effective,
// permitted, inheritable and ambient sets. A process run as root keeps user 0 but can no longer
// override file permissions or act on other users' files and processes. True when none is left.
bool dropCapabilities();

}  // namespace framepick
