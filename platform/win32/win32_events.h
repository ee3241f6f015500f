// Win32 events, timed waits, the worker's priority and the system's error
// texts. Safe to call from any thread.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace ktcomm::platform::win32 {

// An unnamed event, initially clear; null when it cannot be made.
HANDLE NewEvent(bool manualReset);
void CloseEvent(HANDLE* event);

// Waits until the event is set or timeoutMs passes (0xFFFFFFFF: no limit);
// 0 or the error of a wait that failed. The system's wait may end a clock
// tick early; this one never ends before its time-out. An auto-reset event
// that is seen is consumed.
DWORD WaitEvent(HANDLE event, uint32_t timeoutMs, bool* signalled);

// Whether the process is ending while this library is loaded: Windows has
// ended every other thread by then, whatever it held. Noted by the DLL's
// entry point.
void NoteProcessEnding();
bool ProcessEnding();

// The worker runs above every application thread, so that a busy UI does
// not hold received bytes back.
void RaiseThreadPriority();

// The system's text for a Win32 error code, as FormatMessageA gives it
// (line end included); empty when the system has none.
std::string ErrorText(DWORD err);

}  // namespace ktcomm::platform::win32
