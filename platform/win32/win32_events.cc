#include "platform/win32/win32_events.h"

#include <atomic>
#include <chrono>

namespace ktcomm::platform::win32 {
namespace {
std::atomic<bool> ending{false};
}  // namespace

void NoteProcessEnding() { ending = true; }
bool ProcessEnding() { return ending; }

HANDLE NewEvent(bool manualReset) { return CreateEventA(nullptr, manualReset, FALSE, nullptr); }

void CloseEvent(HANDLE* event) {
  if (*event == nullptr) return;
  CloseHandle(*event);
  *event = nullptr;
}

DWORD WaitEvent(HANDLE event, uint32_t timeoutMs, bool* signalled) {
  using Clock = std::chrono::steady_clock;
  *signalled = false;
  if (timeoutMs == INFINITE) {
    DWORD result = WaitForSingleObject(event, INFINITE);
    if (result == WAIT_FAILED) return GetLastError();
    *signalled = result == WAIT_OBJECT_0;
    return 0;
  }
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    DWORD result = WaitForSingleObject(event, left > 0 ? static_cast<DWORD>(left) : 0);
    if (result == WAIT_OBJECT_0) {
      *signalled = true;
      return 0;
    }
    if (result == WAIT_FAILED) return GetLastError();
    if (Clock::now() >= deadline) return 0;
  }
}

void RaiseThreadPriority() { SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL); }

std::string ErrorText(DWORD err) {
  char* text = nullptr;
  DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr,
                                err, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                reinterpret_cast<char*>(&text), 0, nullptr);
  std::string result = length > 0 && text != nullptr ? std::string(text, length) : std::string();
  if (text != nullptr) LocalFree(text);
  return result;
}

}  // namespace ktcomm::platform::win32
