#include "launch/GraphicsProbe.h"

#include "app/LaunchRecord.h"
#include "app/Messages.h"

void ProbeGraphicsRuntime(LaunchRecord& record) {
  Platform& os = record.platform;
  ModuleHandle library = os.loadLibrary(kGraphicsLibrary);
  while (library == 0) {
    if (++record.retryCounter > kProbeRetryLimit) {
      os.showMessageBox(0, kDirectXText, kDirectXCaption, kMbOk);
      os.endProcess(0);
    }
    os.pause(kProbeRetryPauseMs);
    library = os.loadLibrary(kGraphicsLibrary);
  }
  // Only whether it loads counts; nothing of it is used.
  os.freeLibrary(library);
}
