// Keeps the executable's imports within what Windows XP's kernel32 exports.
//
// libstdc++'s exception support needs a few pthread calls, so winpthread is linked in statically,
// and its time helper calls GetTickCount64, which Windows has only since Vista: an executable
// importing it does not start on XP. Defining the import pointer here resolves the reference
// inside the executable, so kernel32's GetTickCount64 is never imported.
#include <windows.h>

namespace {

// GetTickCount64 on XP terms: GetTickCount, which wraps after 49.7 days. winpthread uses it only
// for timed waits, and the launcher's single thread never makes one.
ULONGLONG WINAPI tickCount64() {
  return GetTickCount();
}

}  // namespace

// The import pointer under its linker name: on i686 with the leading underscore and the stdcall
// decoration, on x86-64 without either.
#if defined(_WIN64)
#define ZRK_IMPORT_NAME "__imp_GetTickCount64"
#else
#define ZRK_IMPORT_NAME "__imp__GetTickCount64@0"
#endif
extern "C" ULONGLONG(WINAPI* const zrkGetTickCount64Import)() __asm__(ZRK_IMPORT_NAME);
extern "C" ULONGLONG(WINAPI* const zrkGetTickCount64Import)() = tickCount64;
