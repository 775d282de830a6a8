// Reading the settings file and writing it back.
#pragma once

#include "platform/Platform.h"
#include "settings/SettingsFormat.h"

inline constexpr char kSettingsFileName[] = "DLTZRK_DL.INI";

// Where the settings file is.
struct SettingsPaths {
  char startupDirectory[kMaxPath] = {};  // the current directory at start plus a backslash
  char settingsPath[kMaxPath] = {};      // the start-up directory plus "DLTZRK_DL.INI"
};

// Reads the settings file from the current directory into `lines`, strips keys, and makes FOLDER
// and `installFolder` the start-up directory. False when the file cannot be read.
bool LoadSettings(Platform& os, SettingsPaths& paths, SettingsLines& lines,
                  char (&installFolder)[kMaxPath]);

// Writes the keyed form (61 lines). False when the settings file was left as it was.
bool WriteKeyedSettings(Platform& os, const SettingsPaths& paths, const SettingsLines& lines);

// Writes the bare form (60 lines) from the held lines. False when the file was left as it was.
bool WriteBareSettings(Platform& os, const SettingsPaths& paths, const SettingsLines& lines);

// Whether `size` bytes are whole settings as the writes above leave them: the keyed form of any
// held lines, and the bare form of held lines that reading it gives back as they were written. A
// file cut short at a line break is none.
bool IsWholeSettingsImage(const char* bytes, std::size_t size);
