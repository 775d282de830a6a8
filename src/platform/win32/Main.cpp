// The process entry point of ZRK_START.exe: the application frame runs on the real Windows.
#include <windows.h>

#include "platform/Platform.h"
#include "platform/win32/Win32Platform.h"

// A GUI program: no console, and the command line is not read.
int WINAPI WinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, LPSTR /*commandLine*/,
                   int /*show*/) {
  Win32Platform platform;
  return AfxWinMain(platform);
}
