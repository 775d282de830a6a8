// A stand-in for the graphics library, for the contract tests of where the launcher's search for
// it looks: copied under that library's name into the folders a test names. It tells itself apart
// from any other library by the function it exports, and it needs a system library that the test
// program has not loaded (d3d9.dll, as the real one does), so that a load of it also shows that
// its dependencies are found.
#include <d3d9.h>
#include <windows.h>

extern "C" __declspec(dllexport) void* zrk_contract_stand_in() {
  return reinterpret_cast<void*>(&Direct3DCreate9);
}
