// Starting the game in the install folder and waiting until it is ready for input.
#pragma once

#include "platform/Platform.h"

inline constexpr char kGameExecutable[] = "ZRK_DL.exe";

// Starts the game with `installFolder` as its current directory and waits until it is ready for
// input. False when it cannot be started. Shows nothing.
bool StartGame(Platform& os, const char* installFolder);
