// What the library shows an application on Windows: frames posted to its
// window, error texts in a message box. Safe to call from any thread.
#pragma once

#include <windows.h>

#include <cstdint>

namespace ktcomm::platform::win32 {

// Posts a frame notification; returns at once, and whether the window took
// it is not examined (a closed window loses the frame, as a full queue does).
// Without a window the frame is dropped.
void PostFrame(HWND window, uint32_t message, uint32_t wParam, uintptr_t lParam);

// Shows the text in a modal box with only an OK button and the error icon,
// owned by no window, and returns once a person has dismissed it. The
// calling thread is blocked meanwhile, so no port lock may be held.
void ShowErrorBox(const char* caption, const char* text);

}  // namespace ktcomm::platform::win32
