#include "launch/GraphicsProbe.h"

bool ProbeGraphicsRuntime(Platform& os) {
  ModuleHandle library = os.loadLibrary(kGraphicsLibrary);
  for (int retries = 0; library == 0; ++retries) {
    if (retries == kProbeRetryLimit) return false;
    os.pause(kProbeRetryPauseMs);
    library = os.loadLibrary(kGraphicsLibrary);
  }
  // Only whether it loads counts; nothing of it is used.
  os.freeLibrary(library);
  return true;
}
