// The Win32 serial device: the communications interface with overlapped I/O.
#include "platform/win32/win32_device.h"

#include <algorithm>
#include <cctype>
#include <chrono>

#include "platform/win32/com_ports.h"

namespace ktcomm::platform {
namespace {

constexpr DWORD kQueueBytes = 512;
// A read asks only for what is queued and so completes at once; this only
// bounds a driver that would hold it anyway.
constexpr DWORD kReadLimitMs = 1000;

DWORD LastError() {
  DWORD err = GetLastError();
  return err != 0 ? err : ERROR_GEN_FAILURE;  // a failure never reads as success
}

// The device's line must not be taken by a second opener. Windows refuses a
// second CreateFile of a COM port by itself; Wine does not, so a named
// object per device, held while it is open, keeps a second opener out there.
HANDLE ClaimName(const std::string& path) {
  std::string name = "Local\\KTcomm.";
  for (char c : path) {
    name += c == '\\' ? '_' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  HANDLE claim = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
  if (claim != nullptr && GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(claim);
    SetLastError(ERROR_SHARING_VIOLATION);
    return nullptr;
  }
  return claim;
}

// How long `count` bytes take to leave at the line's rate, in ms, at least 1.
DWORD SendTimeMs(HANDLE handle, size_t count) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  DWORD baud = 300;
  if (GetCommState(handle, &dcb) && dcb.BaudRate != 0) baud = dcb.BaudRate;
  uint64_t ms = static_cast<uint64_t>(count) * 11 * 1000 / baud;
  return static_cast<DWORD>(std::clamp<uint64_t>(ms, 1, 100));
}

size_t OutputQueue(HANDLE handle) {
  DWORD errors = 0;
  COMSTAT status{};
  if (!ClearCommError(handle, &errors, &status)) return 0;
  return status.cbOutQue;
}

}  // namespace

bool win32::IsHangup(DWORD err) {
  switch (err) {
    case ERROR_NOT_READY:         // Wine: the pty's other side closed
    case ERROR_BROKEN_PIPE:       // Wine: a read on such a pty
    case ERROR_BAD_COMMAND:       // a USB adapter removed
    case ERROR_GEN_FAILURE:
    case ERROR_ACCESS_DENIED:     // an open handle on a removed adapter
    case ERROR_DEVICE_REMOVED:
    case ERROR_INVALID_HANDLE:
    case ERROR_FILE_NOT_FOUND:
      return true;
    default:
      return false;
  }
}

std::string Device::PathFor(int portNumber) {
  return "\\\\.\\COM" + std::to_string(portNumber);
}

DWORD Device::Open(const std::string& path, std::unique_ptr<Device>* device) {
  std::unique_ptr<Device> made(new Device);
  for (OVERLAPPED* record : {&made->waitRecord, &made->readRecord, &made->writeRecord}) {
    record->hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (record->hEvent == nullptr) return LastError();
  }
  made->claim = ClaimName(path);
  if (made->claim == nullptr) return LastError();
  made->handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, nullptr);
  if (made->handle == INVALID_HANDLE_VALUE) return LastError();
  SetupComm(made->handle, kQueueBytes, kQueueBytes);  // a request the driver may ignore
  if (!SetCommMask(made->handle, made->eventMask)) return LastError();
  *device = std::move(made);
  return 0;
}

Device::~Device() {
  if (handle != INVALID_HANDLE_VALUE) {
    DrainBeforeClose();
    CancelAndWait(&waitRecord);
    CancelAndWait(&readRecord);
    CancelAndWait(&writeRecord);
    CloseHandle(handle);
  }
  for (OVERLAPPED* record : {&waitRecord, &readRecord, &writeRecord}) {
    if (record->hEvent != nullptr) CloseHandle(record->hEvent);
  }
  if (claim != nullptr) CloseHandle(claim);
}

DWORD Device::SetTimeouts() {
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = MAXDWORD;  // with both totals 0: return at once
  return SetCommTimeouts(handle, &timeouts) ? 0 : LastError();
}

DWORD Device::GetLine(LineState* line) {
  LineState read;
  DCB& dcb = read.native.dcb;
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(handle, &dcb)) return LastError();
  // BuildLine drops a handshake: report it as the mode in force, so that a
  // caller keeping the mode keeps it.
  if (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE || dcb.fRtsControl == RTS_CONTROL_TOGGLE) {
    read.rtsControl = dcb.fRtsControl;
  } else if (dcb.fOutxCtsFlow) {
    // Wine reads a tty's CRTSCTS back as CTS flow with RTS merely on.
    read.rtsControl = RTS_CONTROL_HANDSHAKE;
  }
  if (dcb.fDtrControl == DTR_CONTROL_HANDSHAKE) read.dtrControl = DTR_CONTROL_HANDSHAKE;
  *line = read;
  return 0;
}

DWORD Device::BuildLine(const std::string& lineDef, LineState* line) {
  DCB dcb = line->native.dcb;
  dcb.DCBlength = sizeof dcb;
  if (!BuildCommDCBA(lineDef.c_str(), &dcb)) return LastError();
  // Frames are binary: nothing on the line may be taken for flow control or
  // replaced. Wine keeps the XON/XOFF a tty had, which would eat 11 and 13.
  dcb.fBinary = TRUE;
  dcb.fParity = dcb.Parity != NOPARITY;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fErrorChar = FALSE;
  dcb.fNull = FALSE;
  dcb.fAbortOnError = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fOutxCtsFlow = FALSE;
  if (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE || dcb.fRtsControl == RTS_CONTROL_TOGGLE) {
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
  }
  if (dcb.fDtrControl == DTR_CONTROL_HANDSHAKE) dcb.fDtrControl = DTR_CONTROL_ENABLE;
  line->native.dcb = dcb;
  return 0;
}

DWORD Device::SetLine(const LineState& line) {
  DCB saved{};
  saved.DCBlength = sizeof saved;
  if (!GetCommState(handle, &saved)) return LastError();
  DCB dcb = line.native.dcb;
  dcb.DCBlength = sizeof dcb;
  if (line.dtrControl != kKeepControl) dcb.fDtrControl = line.dtrControl;
  if (line.rtsControl != kKeepControl) {
    dcb.fRtsControl = line.rtsControl;
    // A hardware handshake holds output while CTS is low, as on Linux.
    dcb.fOutxCtsFlow = line.rtsControl == RTS_CONTROL_HANDSHAKE;
  }
  DWORD err = SetCommState(handle, &dcb) ? 0 : LastError();
  if (err == 0) {
    // A driver that cannot run the rate asked may run another and still
    // succeed (Wine on a pty does); read back, the rate tells.
    DCB running{};
    running.DCBlength = sizeof running;
    if (GetCommState(handle, &running) && running.BaudRate != dcb.BaudRate) {
      err = ERROR_INVALID_PARAMETER;
    }
  }
  if (err != 0) SetCommState(handle, &saved);
  return err;
}

DWORD Device::Purge(Queues which) {
  // Input only: an earlier transmission may still be leaving the port.
  DWORD flags = which == Queues::kInput
                    ? PURGE_RXCLEAR
                    : PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
  return PurgeComm(handle, flags) ? 0 : LastError();
}

DWORD Device::InputQueue(size_t* count) {
  DWORD errors = 0;
  COMSTAT status{};
  if (!ClearCommError(handle, &errors, &status)) return LastError();
  *count = status.cbInQue;
  return 0;
}

DWORD Device::Read(std::span<uint8_t> into, size_t* got) {
  *got = 0;
  size_t queued = 0;
  if (DWORD err = InputQueue(&queued)) return err;
  // Wine holds a read that asks for more than has arrived, whatever the
  // time-outs say; Windows would return at once.
  DWORD ask = static_cast<DWORD>(std::min(queued, into.size()));
  if (ask == 0) return 0;
  DWORD count = 0;
  if (!ReadFile(handle, into.data(), ask, nullptr, &readRecord)) {
    DWORD err = GetLastError();
    if (err != ERROR_IO_PENDING) return err;
    if (WaitForSingleObject(readRecord.hEvent, kReadLimitMs) != WAIT_OBJECT_0) {
      CancelIoEx(handle, &readRecord);
    }
  }
  if (!GetOverlappedResult(handle, &readRecord, &count, TRUE)) {
    DWORD err = GetLastError();
    if (err != ERROR_OPERATION_ABORTED) return err;
  }
  *got = count;
  return 0;
}

DWORD Device::Write(std::span<const uint8_t> from, size_t* put) {
  *put = 0;
  if (writePending) {
    if (!HasOverlappedIoCompleted(&writeRecord)) return ERROR_IO_INCOMPLETE;
    DWORD done = 0;
    writePending = false;
    if (!GetOverlappedResult(handle, &writeRecord, &done, FALSE)) return LastError();
  }
  if (from.empty()) return 0;
  writeBuffer.assign(from.begin(), from.end());
  if (!WriteFile(handle, writeBuffer.data(), static_cast<DWORD>(writeBuffer.size()), nullptr,
                 &writeRecord)) {
    DWORD err = GetLastError();
    if (err != ERROR_IO_PENDING) return err;
    writePending = true;
    *put = from.size();
    return 0;
  }
  DWORD done = 0;
  if (!GetOverlappedResult(handle, &writeRecord, &done, FALSE)) return LastError();
  *put = done;
  return 0;
}

DWORD Device::WaitWritable(HANDLE cancel) {
  if (!writePending) return 0;
  DWORD done = 0;
  DWORD err = Complete(&writeRecord, cancel, &done);
  // Cut short, the write stays pending: its bytes are the driver's, as
  // those a tty took are the kernel's.
  if (err != ERROR_OPERATION_ABORTED) writePending = false;
  return err;
}

DWORD Device::WaitDrained(HANDLE cancel) {
  if (DWORD err = WaitWritable(cancel)) return err;
  // The queue is looked at again when it should have emptied at the line's
  // rate; one that does not shrink (a handshake holding the line) is looked
  // at less and less often, ten times a second at most.
  size_t last = 0;
  DWORD pauseMs = 1;
  for (;;) {
    size_t queued = OutputQueue(handle);
    if (queued == 0) return 0;
    pauseMs = queued < last || last == 0 ? SendTimeMs(handle, queued) : std::min<DWORD>(pauseMs * 2, 100);
    last = queued;
    if (WaitForSingleObject(cancel, pauseMs) == WAIT_OBJECT_0) return ERROR_OPERATION_ABORTED;
  }
}

bool Device::Drained() {
  if (writePending && !HasOverlappedIoCompleted(&writeRecord)) return false;
  return OutputQueue(handle) == 0;
}

DWORD Device::ModemLines(uint32_t* lines) {
  DWORD status = 0;
  if (!GetCommModemStatus(handle, &status)) return LastError();
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(handle, &dcb)) return LastError();
  *lines = win32::ModemLevels(status, dcb.fDtrControl, dcb.fRtsControl);
  return 0;
}

DWORD Device::HoldBreak(uint32_t ms) {
  DWORD status = 0;
  if (!GetCommModemStatus(handle, &status)) return LastError();
  if (!SetCommBreak(handle)) return LastError();
  Sleep(ms);
  return ClearCommBreak(handle) ? 0 : LastError();
}

DWORD Device::StartLineWait() {
  if (waitPending) return 0;
  for (;;) {
    waitMask = 0;
    if (WaitCommEvent(handle, &waitMask, &waitRecord)) {
      SetEvent(waitRecord.hEvent);  // ended at once: the wait below sees it
      return 0;
    }
    DWORD err = GetLastError();
    // ERROR_INVALID_PARAMETER: a wait is still pending and stays in force.
    if (err == ERROR_IO_PENDING || err == ERROR_INVALID_PARAMETER) {
      waitPending = true;
      return 0;
    }
    // Wine cannot watch CTS on a device without modem lines (a pty): such a
    // device is waited on for received bytes alone.
    if (err == ERROR_NOT_SUPPORTED && (eventMask & EV_CTS) != 0) {
      eventMask = EV_RXCHAR;
      if (SetCommMask(handle, eventMask)) continue;
      err = LastError();
    }
    return err;
  }
}

DWORD Device::WaitForWork(HANDLE shutdown, HANDLE transmit, bool watched, DWORD timeoutMs,
                          Work* which, bool* hangup) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  *hangup = false;
  for (;;) {
    if (watched) {
      if (DWORD err = StartLineWait()) {
        if (!win32::IsHangup(err)) return err;
        *which = Work::kDevice;
        *hangup = true;
        return 0;
      }
    }
    DWORD waitMs = INFINITE;
    if (timeoutMs != INFINITE) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      waitMs = left > 0 ? static_cast<DWORD>(left) : 0;
    }
    HANDLE handles[3] = {shutdown, transmit, waitRecord.hEvent};
    DWORD result = WaitForMultipleObjects(watched ? 3 : 2, handles, FALSE, waitMs);
    if (result == WAIT_OBJECT_0) {
      *which = Work::kShutdown;
      return 0;
    }
    if (result == WAIT_OBJECT_0 + 1) {
      *which = Work::kTransmit;
      return 0;
    }
    if (result == WAIT_TIMEOUT) {
      // The system's wait may end a clock tick early.
      if (Clock::now() >= deadline) return WAIT_TIMEOUT;
      continue;
    }
    if (result != WAIT_OBJECT_0 + 2) return LastError();
    // The line-event wait ended. Under Wine a wait on a pty ends cancelled
    // after a few milliseconds whatever happened: what counts is the queue.
    if (waitPending) {
      DWORD ignored = 0;
      GetOverlappedResult(handle, &waitRecord, &ignored, FALSE);
      waitPending = false;
    }
    ResetEvent(waitRecord.hEvent);
    size_t queued = 0;
    DWORD err = InputQueue(&queued);
    if (err != 0 && win32::IsHangup(err)) {
      *which = Work::kDevice;
      *hangup = true;
      return 0;
    }
    if (err == 0 && queued > 0) {
      *which = Work::kDevice;
      return 0;
    }
    // A CTS change, or nothing: wait again.
  }
}

DWORD Device::Complete(OVERLAPPED* record, HANDLE cancel, DWORD* transferred) {
  HANDLE handles[2] = {record->hEvent, cancel};
  DWORD result = WaitForMultipleObjects(cancel != nullptr ? 2 : 1, handles, FALSE, INFINITE);
  if (result == WAIT_OBJECT_0 + 1) return ERROR_OPERATION_ABORTED;
  if (result == WAIT_FAILED) return LastError();
  if (!GetOverlappedResult(handle, record, transferred, TRUE)) return LastError();
  return 0;
}

void Device::CancelAndWait(OVERLAPPED* record) {
  if (HasOverlappedIoCompleted(record)) return;
  CancelIoEx(handle, record);
  DWORD ignored = 0;
  GetOverlappedResult(handle, record, &ignored, TRUE);
}

// Output still leaving the port may finish while it keeps moving, for 5 s at
// most; a line that stopped (its handshake held) is cut off at once.
void Device::DrainBeforeClose() {
  constexpr ULONGLONG kStalledMs = 250;
  constexpr ULONGLONG kLongestMs = 5000;
  ULONGLONG start = GetTickCount64();
  ULONGLONG moved = start;
  size_t last = 0;
  for (;;) {
    bool writing = writePending && !HasOverlappedIoCompleted(&writeRecord);
    size_t queued = OutputQueue(handle);
    if (!writing && queued == 0) return;
    ULONGLONG now = GetTickCount64();
    if (queued != last) moved = now;
    if (now - moved > kStalledMs || now - start > kLongestMs) {
      PurgeComm(handle, PURGE_TXABORT | PURGE_TXCLEAR);
      return;
    }
    last = queued;
    Sleep(SendTimeMs(handle, queued > 0 ? queued : 1));
  }
}

}  // namespace ktcomm::platform
