// Reading the settings file into the launch record and writing it back.
#pragma once

struct LaunchRecord;

inline constexpr char kSettingsFileName[] = "DLTZRK_DL.INI";

// Reads the settings file from the current directory, strips keys, and makes FOLDER the start-up
// directory. False, after the not-installed message, when the file cannot be read.
bool LoadSettings(LaunchRecord& record);

// Writes the keyed form (61 lines). False when the settings file was left as it was.
bool WriteKeyedSettings(LaunchRecord& record);

// Writes the bare form (60 lines) from the held lines. False when the file was left as it was.
bool WriteBareSettings(LaunchRecord& record);
