// The build's identity from the header the build writes; only this file is rebuilt when
// the revision changes.
#include "platform/version/version.h"

#include "varnix_version.h"

namespace vx {

const char* release() { return VARNIX_RELEASE; }

std::string version() { return std::string(VARNIX_RELEASE) + " (" + VARNIX_REVISION + ")"; }

}  // namespace vx
