// Proving that the DirectX 9 helper library can be loaded before anything else happens.
#pragma once

#include "platform/Platform.h"

inline constexpr char kGraphicsLibrary[] = "d3dx9_40.dll";
inline constexpr int kProbeRetryLimit = 10;
inline constexpr unsigned kProbeRetryPauseMs = 100;

// One try at loading the library: the module, or 0. Where the system takes LoadLibraryExA's
// search flags (`searchFlags`, as hasLibrarySearchFlags answers), only the library beside the
// launcher, in the system folder or in the current directory (the start-up folder, where the
// settings are) is loaded, in that order; never one from a folder on PATH. Elsewhere the system's
// own search, PATH included.
ModuleHandle LoadGraphicsLibrary(Platform& os, bool searchFlags);

// Loads and releases the library, retrying for about a second. False when it never loads.
bool ProbeGraphicsRuntime(Platform& os);
