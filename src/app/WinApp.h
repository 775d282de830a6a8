// The application frame: a minimal stand-in for the framework's application class. Its start-up
// sets the error mode, then runs the application's InitInstance; when that returns false, it runs
// ExitInstance and ends with its code, which is always 0 for this launcher.
#pragma once

#include "platform/Platform.h"

class CWinApp {
 public:
  CWinApp() = default;
  CWinApp(const CWinApp&) = delete;
  CWinApp& operator=(const CWinApp&) = delete;
  virtual ~CWinApp() = default;

  virtual bool InitInstance() { return true; }
  // Saves nothing: the launcher keeps no recent files and no settings of its own.
  virtual int ExitInstance() { return 0; }

  Platform& platform() const { return *platform_; }

  // The framework's start-up and run on `os`: the process's exit code. No message loop ever runs:
  // the launcher opens no window.
  int Run(Platform& os);

 private:
  Platform* platform_ = nullptr;
};
