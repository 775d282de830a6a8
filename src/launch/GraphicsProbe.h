// Proving that the DirectX 9 helper library can be loaded before anything else happens.
#pragma once

struct LaunchRecord;

inline constexpr char kGraphicsLibrary[] = "d3dx9_40.dll";
inline constexpr int kProbeRetryLimit = 10;
inline constexpr unsigned kProbeRetryPauseMs = 100;

// Loads and releases the library, retrying for about a second. When it never loads, shows the
// DirectX message and ends the process.
void ProbeGraphicsRuntime(LaunchRecord& record);
