// Proving that the DirectX 9 helper library can be loaded before anything else happens.
#pragma once

#include "platform/Platform.h"

inline constexpr char kGraphicsLibrary[] = "d3dx9_40.dll";
inline constexpr int kProbeRetryLimit = 10;
inline constexpr unsigned kProbeRetryPauseMs = 100;

// Loads and releases the library, retrying for about a second. False when it never loads.
bool ProbeGraphicsRuntime(Platform& os);
