// The process entry point of ZRK_START.exe: the application frame runs on the real Windows.
#include <windows.h>

#include "platform/Platform.h"
#include "platform/win32/Win32Platform.h"

namespace {

// HeapSetInformation, looked up at run time: Windows XP before SP3 may lack it.
using HeapSetInformationFunction = BOOL(WINAPI*)(HANDLE, HEAP_INFORMATION_CLASS, PVOID, SIZE_T);

// A heap found damaged ends the process at once, through Windows Error Reporting, instead of
// letting it run on with memory that an overrun may have rewritten
// (HeapEnableTerminationOnCorruption, for every heap of the process). Windows does so by default
// for 64-bit processes and for 32-bit ones whose subsystem version is 6 or later; this executable's
// is 4.0, so that XP starts it. Vista and later and XP SP3 take the setting; older XP ignores it
// and still succeeds.
void EndProcessOnHeapCorruption() {
  const HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
  const FARPROC found =
      kernel32 != nullptr ? GetProcAddress(kernel32, "HeapSetInformation") : nullptr;
  if (found == nullptr) return;
  // Through void (*)(), the generic function pointer type, so that GCC accepts the cast.
  const auto set =
      reinterpret_cast<HeapSetInformationFunction>(reinterpret_cast<void (*)()>(found));
  set(nullptr, HeapEnableTerminationOnCorruption, nullptr, 0);
}

}  // namespace

// A GUI program: no console, and the command line is not read.
int WINAPI WinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, LPSTR /*commandLine*/,
                   int /*show*/) {
  EndProcessOnHeapCorruption();
  Win32Platform platform;
  return AfxWinMain(platform);
}
