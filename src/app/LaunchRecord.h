// The state of one launch, handed to every step. It lives in InitInstance's frame; every buffer
// has a fixed size and nothing in it is allocated.
#pragma once

#include "platform/File.h"
#include "platform/Platform.h"
#include "settings/SettingsFormat.h"

struct LaunchRecord {
  explicit LaunchRecord(Platform& os) : platform(os), settingsFile(os), dataFile(os) {}

  Platform& platform;
  char driveRoot[4] = {'A', ':', '\\', '\0'};  // the drive under test
  char startupDirectory[kMaxPath] = {};        // current directory at start plus a backslash
  char settingsPath[kMaxPath] = {};            // start-up directory plus "DLTZRK_DL.INI"
  char installFolder[kMaxPath] = {};           // folder the game starts in; FOLDER without LF
  char scratchPath[kMaxPath] = {};             // FOLDER value under test, then data file path
  SettingsLines lines = {};
  OutputLines output = {};
  CStdioFile settingsFile;
  CFile dataFile;
  ProcessInfo process = {};
  int retryCounter = 0;
  int driveCounter = 0;
};
