// The exported functions: argument checks first, then the port's operation,
// then its outcome mapped to a result code. Nothing unwinds into a C caller.
#include "api/ktcomm.h"

#include <cstring>
#include <span>

#include "api/port_table.h"

namespace ktcomm {

CommPort g_ports[kPortCount];

namespace {

// Result codes.
constexpr int kOk = KT_OK;
constexpr int kOverflowSeen = KT_OVERFLOW;
constexpr int kOpenFailed = KT_OPEN_FAILED;
constexpr int kNotOpen = KT_NOT_OPEN;
constexpr int kTooSmall = KT_TOO_SMALL;
constexpr int kBadPort = KT_BAD_PORT;
constexpr int kTimedOut = KT_TIMED_OUT;

constexpr char kVersion[] = "1.41";
constexpr char kVersionSuffix[] = " Release";

int ToResult(CommPort::WaitOutcome outcome) {
  switch (outcome) {
    case CommPort::WaitOutcome::kFrame: return kOk;
    case CommPort::WaitOutcome::kTimedOut: return kTimedOut;
    case CommPort::WaitOutcome::kClosed: return kNotOpen;
    case CommPort::WaitOutcome::kTooSmall: return kTooSmall;
    case CommPort::WaitOutcome::kOverflow: return kOverflowSeen;
  }
  return kOk;
}

// Null data is refused unless nothing is to be read from it.
bool DataReadable(const unsigned char* data, uint32_t length) {
  return data != nullptr || length == 0;
}

// The checks of the sending calls; kOk or the result to return.
int CheckSend(int port, const unsigned char* data, uint32_t length) {
  CommPort* slot = Slot(port);
  if (slot == nullptr) return kBadPort;
  if (!slot->IsOpen()) return kNotOpen;
  if (!DataReadable(data, length)) return kTooSmall;
  return kOk;
}

// The checks every waiting call makes before it resets, sends or waits.
int CheckWait(int port, unsigned char* outCommand, unsigned char* outData,
              uint32_t* inoutLength) {
  CommPort* slot = Slot(port);
  if (slot == nullptr) return kBadPort;
  if (!slot->IsOpen()) return kNotOpen;
  if (outCommand == nullptr || inoutLength == nullptr) return kTooSmall;
  if (outData == nullptr && *inoutLength != 0) return kTooSmall;
  return kOk;
}

int ToResult(CommPort::Queued queued) {
  switch (queued) {
    case CommPort::Queued::kQueued: return kOk;
    case CommPort::Queued::kTooBig: return kTooSmall;
    case CommPort::Queued::kNotOpen: return kNotOpen;
  }
  return kOk;
}

// The common part of the waiting calls; `send` queues what is to be sent
// for the call, after the port is marked as awaiting a frame.
template <typename Send>
int Wait(CommPort& slot, Send send, uint32_t timeoutMs, bool reportOverflow,
         unsigned char* outCommand, unsigned char* outData, uint32_t* inoutLength) {
  WaitCall call(slot, {reportOverflow, outCommand, outData, inoutLength});
  if (!slot.BeginWait(call, true)) return kNotOpen;
  // A port closed meanwhile ends the wait at once.
  send(call);
  return ToResult(slot.FinishWait(call, timeoutMs));
}

}  // namespace
}  // namespace ktcomm

using ktcomm::CommPort;
using ktcomm::WaitCall;

extern "C" {

// The window is the public header's for this platform: a KTWindow on Linux,
// an HWND on Windows.
int KTOpenPort(ktcomm::platform::Window window, int port, int txSize, int rxSize, int baud,
               int parity, int dataBits, int stopBits, int protocol) {
  using namespace ktcomm;
  try {
    CommPort* slot = Slot(port);
    if (txSize < 4 || (slot != nullptr && rxSize < 0)) {
      if (slot != nullptr) slot->RecordSizeRefused();
      return kTooSmall;
    }
    if (slot == nullptr) return kBadPort;
    PortSettings settings{.window = window,
                          .portNumber = port,
                          .baud = baud,
                          .parity = parity,
                          .dataBits = dataBits,
                          .stopBits = stopBits,
                          .txSize = txSize,
                          .rxSize = rxSize,
                          .protocol = protocol};
    return slot->OpenPort(settings) ? kOk : kOpenFailed;
  } catch (...) {
    return kOpenFailed;
  }
}

int KTClosePort(int port) {
  using namespace ktcomm;
  try {
    CommPort* slot = Slot(port);
    if (slot == nullptr) return 0;
    return slot->ClosePort();
  } catch (...) {
    return 0;
  }
}

int KTGetDllVersion(char* buffer, int* length) {
  using namespace ktcomm;
  if (buffer == nullptr || length == nullptr) return 0;
  int capacity = *length;
  int copied = 0;
  if (capacity >= 1) {
    copied = capacity >= 5 ? 4 : capacity - 1;
    std::memcpy(buffer, kVersion, static_cast<size_t>(copied));
    buffer[copied] = '\0';
  }
  *length = copied;
  if (capacity - copied > 10) std::strcat(buffer, kVersionSuffix);
  return 0;
}

int KTSendData(int port, const unsigned char* data, uint32_t length) {
  using namespace ktcomm;
  try {
    if (int result = CheckSend(port, data, length)) return result;
    return ToResult(Slot(port)->SendRaw({data, length}));
  } catch (...) {
    return kOk;
  }
}

int KTSendCommand(int port, int command, uint32_t length, const unsigned char* data) {
  using namespace ktcomm;
  try {
    if (int result = CheckSend(port, data, length)) return result;
    return ToResult(Slot(port)->SendCommand(command, {data, length}));
  } catch (...) {
    return kOk;
  }
}

int KTSendCommandAndWait(int port, int command, const unsigned char* data, uint32_t length,
                         uint32_t timeoutMs, unsigned char* outCommand, unsigned char* outData,
                         uint32_t* inoutLength) {
  using namespace ktcomm;
  try {
    if (int result = CheckWait(port, outCommand, outData, inoutLength)) return result;
    if (!DataReadable(data, length)) return kTooSmall;
    CommPort& slot = *Slot(port);
    if (!slot.CommandFits(length)) return kTooSmall;
    return Wait(
        slot, [&](WaitCall& call) { slot.SendCommand(command, {data, length}, &call); },
        timeoutMs, false, outCommand,
        outData, inoutLength);
  } catch (...) {
    return kOk;
  }
}

int KTSendDataAndWait(int port, const unsigned char* data, uint32_t length, uint32_t timeoutMs,
                      unsigned char* outCommand, unsigned char* outData, uint32_t* inoutLength) {
  using namespace ktcomm;
  try {
    if (int result = CheckWait(port, outCommand, outData, inoutLength)) return result;
    if (!DataReadable(data, length)) return kTooSmall;
    CommPort& slot = *Slot(port);
    return Wait(
        slot, [&](WaitCall& call) { slot.SendRaw({data, length}, &call); }, timeoutMs, true,
        outCommand, outData,
        inoutLength);
  } catch (...) {
    return kOk;
  }
}

int KTWaitForMessage(int port, uint32_t timeoutMs, unsigned char* outCommand,
                     unsigned char* outData, uint32_t* inoutLength) {
  using namespace ktcomm;
  try {
    if (int result = CheckWait(port, outCommand, outData, inoutLength)) return result;
    return Wait(
        *Slot(port), [](WaitCall&) {}, timeoutMs, false, outCommand, outData, inoutLength);
  } catch (...) {
    return kOk;
  }
}

int KTSetLogFileName(const char* name) {
  using namespace ktcomm;
  int result = 0;
  for (CommPort& slot : g_ports) result |= slot.SetLogFileName(name);
  return result;
}

int KTEnableLogging(int openNow, const char* mode) {
  using namespace ktcomm;
  int result = 0;
  for (CommPort& slot : g_ports) result |= slot.EnableLogging(openNow, mode);
  return result;
}

}  // extern "C"

int KTSetFlowControl(int port, uint32_t dtrControl, uint32_t rtsControl) {
  using namespace ktcomm;
  try {
    CommPort* slot = Slot(port);
    return slot != nullptr ? slot->SetFlowControl(dtrControl, rtsControl) : 0;
  } catch (...) {
    return 0;
  }
}
