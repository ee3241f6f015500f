// What ports run on unless given another platform: the local kernel's, with
// network devices (tcp://, rfc2217://) served beside it where the build has
// them. Lives until exit.
#pragma once

#include "platform/platform.h"

namespace ktcomm::net {

platform::Platform& DefaultPlatform();

}  // namespace ktcomm::net
