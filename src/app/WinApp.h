// The application frame: a minimal stand-in for the framework's application class. Its start-up
// sets the error mode, then runs the application's InitInstance; when that returns false, it runs
// ExitInstance and ends with its code, which is always 0 for this launcher.
#pragma once

#include "platform/Platform.h"

class CWinApp {
 public:
  CWinApp();
  CWinApp(const CWinApp&) = delete;
  CWinApp& operator=(const CWinApp&) = delete;
  virtual ~CWinApp();

  virtual bool InitInstance();
  virtual int ExitInstance();

  Platform& platform() const { return *platform_; }

  // The framework's start-up and run, for this application on `os`: the process's exit code.
  int Run(Platform& os);

 private:
  Platform* platform_ = nullptr;
};

// The one application object, and the entry point's whole job: run it on `os`.
CWinApp& AfxGetApp();
int AfxWinMain(Platform& os);
