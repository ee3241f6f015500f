// ktcomm.dll's entry point: it notes that the process is ending, so that the
// ports' destructors, which run after it, leave alone what the ended
// threads held.
#include <windows.h>

#include "platform/win32/win32_events.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  // Unloaded by FreeLibrary the reserved pointer is null, and the workers
  // still run; as the process ends it is not.
  if (reason == DLL_PROCESS_DETACH && reserved != nullptr) {
    ktcomm::platform::win32::NoteProcessEnding();
  }
  return TRUE;
}
