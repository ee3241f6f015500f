// What a platform answers for the calls a system may lack: a plain
// explanation of an open that failed, and no modem lines, break or listing.
#include "platform/platform.h"

namespace ktcomm::platform {

void Platform::ExplainOpenFailure(const std::string&, const char* step, int err,
                                  OpenFailure* why) {
  why->reason = OpenReason::kOther;
  why->err = err;
  why->holderPid = 0;
  why->text = step != nullptr ? std::string(step) + " failed: " + ErrorText(err) : ErrorText(err);
}

int Platform::GetModemLines(DeviceRef, uint32_t*) { return kNotSupported; }

int Platform::SendBreak(DeviceRef, uint32_t) { return kNotSupported; }

int Platform::ListSerialDevices(std::vector<SerialDeviceInfo>*) { return kNotSupported; }

}  // namespace ktcomm::platform
