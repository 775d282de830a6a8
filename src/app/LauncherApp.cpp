#include "app/LauncherApp.h"

#include "app/LaunchRecord.h"
#include "app/Messages.h"
#include "launch/GameStart.h"
#include "launch/GraphicsProbe.h"
#include "locate/DataFileLocator.h"
#include "settings/SettingsFile.h"

CLauncherApp theApp;

namespace {

void ShowMessage(Platform& os, const char* text, const char* caption) {
  os.showMessageBox(0, text, caption, kMbOk);
}

// Shows the message and ends the process at once, with exit code 0. No file is open then.
void EndWithMessage(Platform& os, const char* text, const char* caption) {
  ShowMessage(os, text, caption);
  os.endProcess(0);
}

// The whole launch, in its fixed order, and every way it ends: at most one message, an end of
// the process at once where the graphics runtime or the data file is missing, and the bare form
// written back where the game does not start.
void Launch(Platform& os, LaunchRecord& record) {
  if (!ProbeGraphicsRuntime(os)) return EndWithMessage(os, kDirectXText, kDirectXCaption);
  if (!LoadSettings(os, record.paths, record.lines, record.installFolder)) {
    ShowMessage(os, kNotInstalledText, kNotInstalledCaption);
    return;
  }
  if (!LocateDataFile(os, record.installFolder, record.lines)) {
    return EndWithMessage(os, kDamagedText, kDamagedCaption);
  }
  WriteKeyedSettings(os, record.paths, record.lines);
  if (!StartGame(os, record.installFolder)) WriteBareSettings(os, record.paths, record.lines);
}

}  // namespace

bool CLauncherApp::InitInstance() {
  LaunchRecord record;
  Launch(platform(), record);
  return false;
}

int AfxWinMain(Platform& os) {
  return theApp.Run(os);
}
