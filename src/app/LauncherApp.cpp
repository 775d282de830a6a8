#include "app/LauncherApp.h"

#include "app/LaunchRecord.h"
#include "launch/GameStart.h"
#include "launch/GraphicsProbe.h"
#include "locate/DataFileLocator.h"
#include "settings/SettingsFile.h"

CLauncherApp theApp;

namespace {

// The whole launch, in its fixed order. The probe and the locator end the process themselves
// when they fail; a settings file that cannot be read ends the launch here.
void Launch(LaunchRecord& record) {
  ProbeGraphicsRuntime(record);
  if (!LoadSettings(record)) return;
  LocateDataFile(record);
  WriteKeyedSettings(record);
  StartGame(record);
}

}  // namespace

bool CLauncherApp::InitInstance() {
  LaunchRecord record(platform());
  try {
    Launch(record);
  } catch (const CFileException&) {
    // Each step handles its own file failures; nothing may leave the application object.
  }
  return false;
}

int AfxWinMain(Platform& os) {
  return theApp.Run(os);
}
