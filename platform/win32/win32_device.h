// A serial device through the Win32 communications interface, opened for
// overlapped I/O: the Win32 platform's Device. Each kind of operation has
// its own overlapped record and event (line-event wait, read, write), so
// that a write never disturbs a pending line-event wait. Owned by its port:
// the worker makes the I/O calls; open, close and line changes come from
// the port's application thread while no I/O of the same kind runs. Every
// call returns 0 or the Win32 error code of the call that failed, taken
// where it failed.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace ktcomm::platform {
namespace win32 {

// Failures that end a device: the driver's answers once the device has gone
// (a USB adapter unplugged; under Wine, the pty's other side closed).
bool IsHangup(DWORD err);

}  // namespace win32

class Device {
 public:
  // "\\.\COMn": the name that reaches every port number, COM10 included.
  static std::string PathFor(int portNumber);

  // Opens exclusively for overlapped reading and writing, with 512-byte
  // queues (the driver may refuse; not examined) and the line events the
  // worker waits for: received bytes and CTS changes.
  static DWORD Open(const std::string& path, std::unique_ptr<Device>* device);
  // Lets output still moving finish (5 s at most), cuts a stalled line off,
  // ends any pending operation and closes the handle.
  ~Device();
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  // Reads return at once with what has arrived; writes have no time limit.
  DWORD SetTimeouts();
  DWORD GetLine(LineState* line);
  // Applies "baud=9600 parity=N data=8 stop=1" to the block, and runs the
  // line raw: binary, no XON/XOFF, no error or null characters, no abort on
  // error; a hardware handshake in force is dropped (GetLine reported it).
  static DWORD BuildLine(const std::string& lineDef, LineState* line);
  // All or nothing: a block the driver refuses, or a rate it silently
  // replaces with another, restores the line as it was.
  DWORD SetLine(const LineState& line);

  DWORD Purge(Queues which);
  // Bytes waiting in the input queue; also clears the device's error state.
  DWORD InputQueue(size_t* count);
  // Reads what has arrived, up to into.size(); *got is 0 when nothing has.
  // Never asks for more than is queued, so it never waits for the line.
  DWORD Read(std::span<uint8_t> into, size_t* got);
  // Hands the bytes to the driver: *put is all of them, whether the write
  // completed or is still pending (the device keeps its own copy).
  // ERROR_IO_INCOMPLETE while an earlier write is still pending; the
  // failure of an earlier write that nobody waited for.
  DWORD Write(std::span<const uint8_t> from, size_t* put);
  // Waits until a pending write has completed, and returns its outcome;
  // ERROR_OPERATION_ABORTED once `cancel` is set, the write left to finish
  // (the close lets it while it moves).
  DWORD WaitWritable(HANDLE cancel);
  // Waits until what was written has left the port (no pending write, an
  // empty output queue); ERROR_OPERATION_ABORTED once `cancel` is set.
  DWORD WaitDrained(HANDLE cancel);
  bool Drained();

  // The modem lines as kLine* bits: the inputs as the driver reads them,
  // DTR and RTS as the control block's modes hold them.
  DWORD ModemLines(uint32_t* lines);
  // Holds the line in break for `ms`, then releases it. A device without
  // modem lines (Wine's pty) has no line to break: ERROR_NOT_SUPPORTED,
  // where SetCommBreak would succeed doing nothing.
  DWORD HoldBreak(uint32_t ms);

  // The worker's wait: shutdown, transmit, then the device, the first that
  // is set wins. The device counts as ready only with bytes queued, or
  // with hangup set when the device has gone; the line-event wait that
  // finds neither is started again. Without `watched` the device is left
  // out. WAIT_TIMEOUT when none is ready within timeoutMs (INFINITE: no
  // limit); the time-out is kept however often the line-event wait ends.
  DWORD WaitForWork(HANDLE shutdown, HANDLE transmit, bool watched, DWORD timeoutMs, Work* which,
                    bool* hangup);

 private:
  Device() = default;
  // Starts the line-event wait unless one is pending; when it ends at once
  // its event is set, for the wait that follows to see.
  DWORD StartLineWait();
  // Waits for an operation's completion or `cancel`.
  DWORD Complete(OVERLAPPED* record, HANDLE cancel, DWORD* transferred);
  void CancelAndWait(OVERLAPPED* record);
  void DrainBeforeClose();

  HANDLE handle = INVALID_HANDLE_VALUE;
  HANDLE claim = nullptr;  // held while open: see ClaimName
  DWORD eventMask = EV_RXCHAR | EV_CTS;
  // The worker's line-event wait; `waitMask` is filled when it ends.
  OVERLAPPED waitRecord{};
  DWORD waitMask = 0;
  bool waitPending = false;
  OVERLAPPED readRecord{};
  // The write in flight and the bytes it writes, which must outlive it.
  OVERLAPPED writeRecord{};
  std::vector<uint8_t> writeBuffer;
  bool writePending = false;
};

}  // namespace ktcomm::platform
