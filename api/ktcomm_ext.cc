// The extension's exported functions: argument checks first, then the
// port's or the platform's answer, copied into the caller's structures.
// Nothing unwinds into a C caller.
#include "api/ktcomm_ext.h"

#include <cstring>
#include <vector>

#include "api/ext_text.h"
#include "api/port_table.h"

namespace ktcomm {
namespace {

using platform::OpenReason;

static_assert(static_cast<int>(OpenReason::kNone) == KTX_OPEN_OK);
static_assert(static_cast<int>(OpenReason::kNoDevice) == KTX_OPEN_NO_DEVICE);
static_assert(static_cast<int>(OpenReason::kNotSerial) == KTX_OPEN_NOT_SERIAL);
static_assert(static_cast<int>(OpenReason::kPermission) == KTX_OPEN_PERMISSION);
static_assert(static_cast<int>(OpenReason::kInUse) == KTX_OPEN_IN_USE);
static_assert(static_cast<int>(OpenReason::kSetupRefused) == KTX_OPEN_SETUP_REFUSED);
static_assert(static_cast<int>(OpenReason::kBadName) == KTX_OPEN_BAD_NAME);
static_assert(static_cast<int>(OpenReason::kHostNotFound) == KTX_OPEN_HOST_NOT_FOUND);
static_assert(static_cast<int>(OpenReason::kRefused) == KTX_OPEN_REFUSED);
static_assert(static_cast<int>(OpenReason::kTimedOut) == KTX_OPEN_TIMED_OUT);
static_assert(static_cast<int>(OpenReason::kUnreachable) == KTX_OPEN_UNREACHABLE);
static_assert(static_cast<int>(OpenReason::kNoResources) == KTX_OPEN_NO_RESOURCES);
static_assert(static_cast<int>(OpenReason::kBadSize) == KTX_OPEN_BAD_SIZE);
static_assert(static_cast<int>(OpenReason::kOther) == KTX_OPEN_OTHER);
static_assert(platform::kLineCts == KTX_LINE_CTS && platform::kLineDsr == KTX_LINE_DSR &&
              platform::kLineDcd == KTX_LINE_DCD && platform::kLineRi == KTX_LINE_RI &&
              platform::kLineDtr == KTX_LINE_DTR && platform::kLineRts == KTX_LINE_RTS);

int ToResult(CommPort::DeviceCall outcome) {
  switch (outcome) {
    case CommPort::DeviceCall::kDone: return KT_OK;
    case CommPort::DeviceCall::kNotOpen: return KT_NOT_OPEN;
    case CommPort::DeviceCall::kUnsupported: return KTX_NOT_SUPPORTED;
    case CommPort::DeviceCall::kFailed: return KTX_DEVICE_FAILED;
  }
  return KTX_DEVICE_FAILED;
}

void Fill(const platform::SerialDeviceInfo& from, KTXDevice* to) {
  std::memset(to, 0, sizeof *to);
  bool cut = ext::CopyText(from.path, to->path);
  cut = ext::CopyText(from.tty, to->tty) || cut;
  to->usb = from.usb ? 1 : 0;
  to->vendorId = from.vendorId;
  to->productId = from.productId;
  cut = ext::CopyText(from.manufacturer, to->manufacturer) || cut;
  cut = ext::CopyText(from.product, to->product) || cut;
  cut = ext::CopyText(from.serial, to->serial) || cut;
  to->uartType = from.uartType;
  to->truncated = cut ? 1 : 0;
}

}  // namespace
}  // namespace ktcomm

extern "C" {

int KTXGetOpenError(int port, KTXOpenError* out) {
  using namespace ktcomm;
  try {
    CommPort* slot = Slot(port);
    if (slot == nullptr) return KT_BAD_PORT;
    if (out == nullptr) return KT_TOO_SMALL;
    platform::OpenFailure failure = slot->LastOpenFailure();
    std::memset(out, 0, sizeof *out);
    out->reason = static_cast<int>(failure.reason);
    out->systemError = failure.err;
    out->holderPid = failure.holderPid;
    bool cut = ext::CopyText(failure.reason == OpenReason::kNone ? "" : failure.device,
                             out->device);
    cut = ext::CopyText(failure.text, out->text) || cut;
    out->truncated = cut ? 1 : 0;
    return KT_OK;
  } catch (...) {
    return KTX_DEVICE_FAILED;
  }
}

int KTXGetPortStatus(int port, KTXPortStatus* out) {
  using namespace ktcomm;
  try {
    CommPort* slot = Slot(port);
    if (slot == nullptr) return KT_BAD_PORT;
    if (out == nullptr) return KT_TOO_SMALL;
    CommPort::Status status = slot->GetStatus();
    std::memset(out, 0, sizeof *out);
    out->open = status.open ? 1 : 0;
    out->lost = status.lost ? 1 : 0;
    out->reports = status.reports;
    out->truncated = ext::CopyText(status.lastReport, out->lastReport) ? 1 : 0;
    return KT_OK;
  } catch (...) {
    return KTX_DEVICE_FAILED;
  }
}

int KTXGetModemLines(int port, uint32_t* lines) {
  using namespace ktcomm;
  try {
    CommPort* slot = Slot(port);
    if (slot == nullptr) return KT_BAD_PORT;
    if (!slot->IsOpen()) return KT_NOT_OPEN;
    if (lines == nullptr) return KT_TOO_SMALL;
    uint32_t levels = 0;
    int result = ToResult(slot->GetModemLines(&levels));
    if (result == KT_OK) *lines = levels;
    return result;
  } catch (...) {
    return KTX_DEVICE_FAILED;
  }
}

int KTXSendBreak(int port, uint32_t durationMs) {
  using namespace ktcomm;
  try {
    CommPort* slot = Slot(port);
    if (slot == nullptr) return KT_BAD_PORT;
    if (!slot->IsOpen()) return KT_NOT_OPEN;
    if (durationMs == 0 || durationMs > KTX_MAX_BREAK_MS) return KTX_BAD_ARGUMENT;
    return ToResult(slot->SendBreak(durationMs));
  } catch (...) {
    return KTX_DEVICE_FAILED;
  }
}

int KTXListDevices(KTXDevice* devices, uint32_t capacity, uint32_t* count) {
  using namespace ktcomm;
  try {
    if (count == nullptr || (devices == nullptr && capacity != 0)) return KT_TOO_SMALL;
    std::vector<platform::SerialDeviceInfo> found;
    if (platform::Platform::Default().ListSerialDevices(&found) != 0) return KTX_NOT_SUPPORTED;
    *count = static_cast<uint32_t>(found.size());
    for (uint32_t i = 0; i < capacity && i < found.size(); ++i) Fill(found[i], &devices[i]);
    return found.size() <= capacity ? KT_OK : KT_TOO_SMALL;
  } catch (...) {
    return KTX_DEVICE_FAILED;
  }
}

const char* KTXResultText(int result) {
  switch (result) {
    case KT_OK: return "success";
    case KT_OVERFLOW: return "the receive buffer overflowed";
    case KT_OPEN_FAILED: return "the port did not open";
    case KT_NOT_OPEN: return "the port is not open";
    case KT_TOO_SMALL: return "a size is too small, or an output is missing";
    case KT_BAD_PORT: return "not a port number (1 to 10)";
    case KT_TIMED_OUT: return "timed out";
    case KTX_NOT_SUPPORTED: return "the device does not support this";
    case KTX_DEVICE_FAILED: return "the device failed the request";
    case KTX_BAD_ARGUMENT: return "an argument is out of range";
    default: return "unknown result";
  }
}

}  // extern "C"
