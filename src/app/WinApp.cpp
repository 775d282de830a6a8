#include "app/WinApp.h"

int CWinApp::Run(Platform& os) {
  platform_ = &os;
  // A drive without media must fail quietly instead of asking the player for a disk.
  os.setErrorMode(os.setErrorMode(0) | kSemFailCriticalErrors | kSemNoOpenFileErrorBox);
  InitInstance();
  return ExitInstance();
}
