// A simulated machine with the game installed, and builders for settings files, shared by the
// launcher's tests.
#pragma once

#include <array>
#include <set>
#include <string>
#include <vector>

#include "app/LauncherApp.h"
#include "fuzz/SettingsModel.h"
#include "platform/simulated/SimulatedWindows.h"
#include "settings/SettingsFormat.h"

namespace testing_support {

inline const std::string kFolder = "C:\\Games\\X\\";  // where the launcher is started
inline const std::string kSettings = kFolder + "DLTZRK_DL.INI";
inline const std::string kData = kFolder + "ZRK_DLN.SD";
inline const std::string kGame = kFolder + "ZRK_DL.exe";
inline const std::string kHeader = "[\x83U\x83\x8B] DL 1.00";  // a code page 932 header line

// The keys of lines 1 to 59 come from the settings model's own copy of the table, kept apart from
// the launcher's: a key misspelt or misplaced in the launcher's table shows up as a difference.
using settings_model::kKeys;

// The value held for line n of a test file (lines 2 to 59).
inline std::string ValueOf(int n) {
  return "v" + std::to_string(n);
}

// Lines 0 to 59 in memory form (each ends in LF), line 1 naming `folder`.
inline std::vector<std::string> Values(const std::string& folder = kFolder) {
  std::vector<std::string> lines{kHeader + "\n", folder + "\n"};
  for (int n = 2; n < kSettingsLineCount; ++n) lines.push_back(ValueOf(n) + "\n");
  return lines;
}

// Joins memory lines into disk bytes: each LF as CR LF.
inline std::string OnDisk(const std::vector<std::string>& lines) {
  std::string bytes;
  for (const std::string& line : lines) {
    for (char c : line) bytes += c == '\n' ? std::string("\r\n") : std::string(1, c);
  }
  return bytes;
}

// The keyed form of memory lines 0 to 59: keys in front, "CD-ROM=<drive>:" at the end.
inline std::vector<std::string> Keyed(const std::vector<std::string>& values, char drive = 'C') {
  std::vector<std::string> lines{values[0]};
  for (int n = 1; n < kSettingsLineCount; ++n) lines.push_back(kKeys[n] + values[n]);
  lines.push_back(std::string("CD-ROM=") + drive + ":\n");
  return lines;
}

inline std::string BareFile(const std::string& folder = kFolder) {
  return OnDisk(Values(folder));
}
inline std::string KeyedFile(const std::string& folder = kFolder, char drive = 'C') {
  return OnDisk(Keyed(Values(folder), drive));
}

// A machine on which a normal launch succeeds: drive C fixed, the graphics library, the launcher,
// its settings (bare form), the data file and the game, all in C:\Games\X, the current directory.
class Installation {
 public:
  // `codePage`: the system's ANSI code page, 932 or 1252.
  explicit Installation(std::uint32_t codePage = 932) {
    os.setCodePage(codePage);
    os.addLibrary("d3dx9_40.dll");
    os.addDirectory(kFolder);
    os.setCurrentDirectoryPath("C:\\Games\\X");
    os.setModuleFileName(kFolder + "ZRK_START.exe");
    os.addFile(kSettings, BareFile());
    os.addFile(kData, "data");
    os.addExecutable(kGame);
  }

  // Runs the launcher as a process: its exit code.
  int Run() {
    CLauncherApp app;
    return os.runProcess([&] { return app.Run(os); });
  }

  std::string Settings() const { return os.fileBytes(kSettings); }
  // Every file on the machine, as a set to compare before and after.
  std::set<std::string> Files() const {
    const std::vector<std::string> all = os.files();
    return {all.begin(), all.end()};
  }

  SimulatedWindows os;
};

}  // namespace testing_support
