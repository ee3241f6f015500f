// What a platform answers for the calls a system may lack: a plain
// explanation of an open that failed, and no modem lines, break or listing.
#include "platform/platform.h"

#include <cerrno>

namespace ktcomm::platform {

void Platform::ExplainOpenFailure(const std::string&, const char* step, int err,
                                  OpenFailure* why) {
  why->reason = OpenReason::kOther;
  why->err = err;
  why->holderPid = 0;
  why->text = step != nullptr ? std::string(step) + " failed: " + ErrorText(err) : ErrorText(err);
}

int Platform::GetModemLines(int, uint32_t*) { return ENOTSUP; }

int Platform::SendBreak(int, uint32_t) { return ENOTSUP; }

int Platform::ListSerialDevices(std::vector<SerialDeviceInfo>*) { return ENOTSUP; }

}  // namespace ktcomm::platform
