// Finding the game's data file "ZRK_DLN.SD": in the install folder, else at the same path on the
// fixed and removable drives A to Z.
#pragma once

#include "platform/Platform.h"
#include "settings/SettingsFormat.h"

inline constexpr char kDataFileName[] = "ZRK_DLN.SD";

// True once the data file opens, with `installFolder` and FOLDER (line 1 of `lines`) moved to the
// drive where it was found. False when it is found nowhere.
bool LocateDataFile(Platform& os, char (&installFolder)[kMaxPath], SettingsLines& lines);
