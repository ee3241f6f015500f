// Builds without network ports (Windows): every device is the local
// kernel's.
#include "net/default_platform.h"

namespace ktcomm::net {

platform::Platform& DefaultPlatform() { return platform::Platform::Default(); }

}  // namespace ktcomm::net
