#pragma once

// The resource limits a run lowers for itself.

namespace framepick {

// Hard limits on what a run may take, lowered from the caller's and never raised: memory of every
// kind, the size of a file written, descriptors, locked memory, core dumps. With every capability
// dropped, not even code that takes the process over can lift them. True when all are in place.
bool limitResources();

}  // namespace framepick
