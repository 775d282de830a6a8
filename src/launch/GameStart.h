// Starting the game in the install folder and waiting until it is ready for input.
#pragma once

struct LaunchRecord;

inline constexpr char kGameExecutable[] = "ZRK_DL.exe";

// Starts the game and waits until it is ready for input. When it cannot be started, writes the
// settings back in the bare form. Shows nothing.
void StartGame(LaunchRecord& record);
