// The launcher's application class: all of its work is one call of InitInstance.
#pragma once

#include "app/WinApp.h"

class CLauncherApp : public CWinApp {
 public:
  // Runs the launch sequence; always false, so that the process ends without a message loop.
  bool InitInstance() override;
};

extern CLauncherApp theApp;
