// Finding the game's data file "ZRK_DLN.SD": in the install folder, else at the same path on the
// fixed and removable drives A to Z.
#pragma once

struct LaunchRecord;

inline constexpr char kDataFileName[] = "ZRK_DLN.SD";

// Returns once the data file opens, with the install folder and FOLDER moved to the drive where it
// was found. When it is found nowhere, shows the damaged-installation message and ends the
// process.
void LocateDataFile(LaunchRecord& record);
