// The state that crosses the steps of one launch. It lives in InitInstance's frame; every buffer
// has a fixed size and nothing in it is allocated. What a single step needs stays in that step.
#pragma once

#include "platform/Platform.h"
#include "settings/SettingsFile.h"
#include "settings/SettingsFormat.h"

struct LaunchRecord {
  // The start-up directory and the settings file in it. Written by the load; read by both
  // writes (the file they replace, and the folder of their new file).
  SettingsPaths paths;
  // The folder the game starts in: the FOLDER value without its LF. Written by the load; its
  // drive letter patched by the search; read by the game start.
  char installFolder[kMaxPath] = {};
  // Lines 0 to 59 as read, keys stripped, FOLDER reconciled. Written by the load; slot 1's drive
  // letter patched by the search; read by both writes.
  SettingsLines lines = {};
};
