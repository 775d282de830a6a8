// One whole launch on a simulated machine described by a MachineSpec, and the oracle that judges
// it: the outcome the launch must have, computed from the documented rules and the settings model
// alone.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/Platform.h"
#include "support/WindowsConstants.h"

namespace fuzz {

// Code page 932 bytes, judged here on their own so that the oracle shares nothing with the
// launcher: the first and second byte of a double-byte character, and a byte that may stand alone
// in a file name (printable ASCII but the reserved characters, and the half-width katakana).
inline bool IsLeadByte(unsigned char b) {
  return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}
inline bool IsTrailByte(unsigned char b) {
  return (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFC);
}
inline bool IsNameByte(unsigned char b) {
  if (b >= 0xA1 && b <= 0xDF) return true;
  if (b < 0x20 || b > 0x7E) return false;
  return std::string("\\/:*?\"<>|").find(static_cast<char>(b)) == std::string::npos;
}

// What lies in the install folder's path on one drive (or on the network share).
enum class Data { none, file, held, folder };
enum class Game { none, starts, fails };

struct DriveSpec {
  bool present = false;
  std::uint32_t type = kDriveFixed;
  bool media = true;
  std::uint32_t fileSystemFlags = kFsCasePreserved | kFsUnicodeOnDisk;
  Data data = Data::none;
  Game game = Game::none;
};

enum class SettingsKind { file, absent, folder };
// What else points at the settings file: a second name beside it (a hard link), or the name is a
// symbolic link to a file in a folder of its own.
enum class SettingsLink { none, secondName, symbolic };
enum class StaleTemp { none, normal, readOnly, hidden, held };

struct MachineSpec {
  int libraryAttempt = 1;  // first attempt at which d3dx9_40.dll loads; 0: never

  // The current directory at start, exactly as GetCurrentDirectoryA reports it: "X:\..." without
  // a final backslash (except the root "X:\"), or "\\server\share\...".
  std::string directory = "C:\\Games\\X";
  std::array<DriveSpec, 26> drives{};
  Data shareData = Data::none;  // the folder itself when it is on a network share
  Game shareGame = Game::none;

  bool launcherElsewhere = false;  // the launcher in "\\tools\bin\" instead of the folder
  Game gameBesideLauncher = Game::none;

  SettingsKind settings = SettingsKind::file;
  std::string settingsBytes;
  bool settingsNameLower = false;
  SettingsLink settingsLink = SettingsLink::none;
  std::uint32_t settingsAttributes = kAttributeArchive;
  bool heldAtRead = false;
  bool heldAtWrite = false;   // another program opens it while the launcher looks for the data
  bool heldAtRename = false;  // another program opens it while the new settings are written
  std::optional<std::uint64_t> readFaultAt;
  bool readCloseFails = false;  // after every line is in: no harm done
  bool dataCloseFails = false;

  StaleTemp staleTemp = StaleTemp::none;   // a file left at the first temporary name, "ZRK1.TMP"
  bool refusesNewFiles = false;            // the folder takes no new files
  std::optional<std::uint64_t> freeSpace;  // room on the disk
  std::optional<std::uint64_t> writesStopAfter;  // bytes the disk takes before writes fail
  int renameRefusals = 0;       // sharing violations before a rename into the settings goes through
  bool tempCloseFails = false;  // the first new file will not close
  bool flushFails = false;
  bool flushUnsupported = false;  // a volume that cannot flush (ERROR_INVALID_FUNCTION)
  bool renamesRefused = false;    // renames into the settings are refused for good
};

// A machine with the game installed in C:\Games\X: library, settings, data file and game there,
// drive C fixed.
MachineSpec StandardMachine(const std::string& settingsBytes);

// Builds the machine, runs the launcher on it and checks every outcome against the model. On a
// difference, prints both sides and the machine, then aborts (the fuzzer reports the input).
void RunAndCheck(const MachineSpec& spec);

// Whether `directory` is one that GetCurrentDirectoryA can report on Windows in code page 932:
// a drive or share root and components of valid characters. For the decoders' self-check.
bool IsValidDirectory(const std::string& directory);

}  // namespace fuzz
