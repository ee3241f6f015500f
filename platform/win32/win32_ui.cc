#include "platform/win32/win32_ui.h"

namespace ktcomm::platform::win32 {

void PostFrame(HWND window, uint32_t message, uint32_t wParam, uintptr_t lParam) {
  // Without a window the message would go to the posting thread's own queue,
  // which the worker never reads.
  if (window == nullptr) return;
  PostMessageA(window, message, static_cast<WPARAM>(wParam), static_cast<LPARAM>(lParam));
}

void ShowErrorBox(const char* caption, const char* text) {
  MessageBoxA(nullptr, text, caption, MB_OK | MB_ICONERROR);
}

}  // namespace ktcomm::platform::win32
