// The build's identity, in one meaning wherever it is shown: the release is the
// project's version, the revision the source it was built from. `--version` prints
// both, and every scan record carries both, so that a record names the exact build
// that made it.
#pragma once

#include <string>

namespace vx {

// "1.0.0"
const char* release();
// "1.0.0 (365ce3b)": the release and the revision (git describe; "unknown" when built
// outside a checkout).
std::string version();

}  // namespace vx
