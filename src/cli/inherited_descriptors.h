#pragma once

// Closing the descriptors the caller left open.

namespace framepick {

// Closes every descriptor the caller left open above standard error (a secret file, a socket, a
// terminal), puts standard input on /dev/null, and gives a closed standard output or error
// /dev/null, so that no file opened later takes their numbers. False when /dev/null is missing.
bool closeInheritedDescriptors();

}  // namespace framepick
