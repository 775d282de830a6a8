// The state of one launch, handed to every step. It lives in InitInstance's frame; every buffer
// has a fixed size and nothing in it is allocated.
//
// The steps, in order: the graphics probe (GraphicsProbe), the settings load (LoadSettings), the
// data file search (LocateDataFile), the keyed write (WriteKeyedSettings) and the game start
// (StartGame, which writes the bare form with WriteBareSettings when the game does not start).
// Each field says which steps write it and which read it.
#pragma once

#include "platform/File.h"
#include "platform/Platform.h"
#include "settings/SettingsFormat.h"

struct LaunchRecord {
  explicit LaunchRecord(Platform& os) : platform(os), settingsFile(os), dataFile(os) {}

  Platform& platform;
  // The drive root under test, "A:\" with its letter replaced. Written and read by the search.
  char driveRoot[4] = {'A', ':', '\\', '\0'};
  // The current directory at start plus a backslash. Written by the load; read by the load (the
  // FOLDER value it becomes) and by both writes (the folder of their new file).
  char startupDirectory[kMaxPath] = {};
  // The start-up directory plus "DLTZRK_DL.INI". Written by the load; read by the load (the file
  // it opens) and by both writes (the file they replace).
  char settingsPath[kMaxPath] = {};
  // The folder the game starts in: the FOLDER value without its LF. Written by the load; its
  // drive letter patched by the search; read by the game start.
  char installFolder[kMaxPath] = {};
  // Scratch, in three roles one after the other, all within the load and the search: the copy
  // that key stripping carries (load); the FOLDER value under test, then the start-up directory
  // it becomes (load); that folder plus "ZRK_DLN.SD", its first byte patched with each drive
  // letter tried (search). No later step reads it.
  char scratchPath[kMaxPath] = {};
  // Lines 0 to 59 as read, keys stripped, FOLDER reconciled. Written by the load; slot 1's drive
  // letter patched by the search; read by both writes.
  SettingsLines lines = {};
  // The keyed form's 61 lines. Written and read by the keyed write.
  OutputLines output = {};
  // The settings file, opened, read and closed by the load.
  CStdioFile settingsFile;
  // The data file, opened and closed by the search to test that it can be.
  CFile dataFile;
  // The game's process and thread handles. Written by the game start's CreateProcessA, read and
  // closed by it.
  ProcessInfo process = {};
  // Loop counters: load attempts of the graphics probe, drives of the search.
  int retryCounter = 0;
  int driveCounter = 0;
};
