// A simulated machine with the game installed, and builders for settings files: what the unit
// tests, the fault matrix and the fuzz harness start from.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/LauncherApp.h"
#include "settings/SettingsFormat.h"
#include "simulated/SimulatedWindows.h"
#include "support/SettingsModel.h"

namespace testing_support {

inline const std::string kFolder = "C:\\Games\\X\\";  // where the launcher is started
inline const std::string kSettings = kFolder + "DLTZRK_DL.INI";
inline const std::string kData = kFolder + "ZRK_DLN.SD";
inline const std::string kGame = kFolder + "ZRK_DL.exe";
inline const std::string kHeader = "[\x83U\x83\x8B] DL 1.00";  // a code page 932 header line
// Where the DirectX installer puts the graphics library.
inline const std::string kSystemLibrary =
    std::string(SimulatedWindows::kSystemFolder) + "\\d3dx9_40.dll";

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

// The folder of a current directory as files inside it are named: with a final backslash, which
// only a drive root has already.
inline std::string FolderOf(const std::string& directory) {
  const bool driveRoot = directory.size() == 3 && directory[1] == ':';
  return driveRoot ? directory : directory + "\\";
}

// `text` as a machine of `codePage` keeps it (SimulatedWindows::name): how a test names a folder
// whose name that code page cannot spell.
inline std::string Spelled(const std::u16string& text, std::uint32_t codePage = 932) {
  SimulatedWindows os;
  os.setCodePage(codePage);
  return os.name(text);
}

// What an installation holds. By default a normal launch succeeds on it.
struct Layout {
  std::string directory = "C:\\Games\\X";  // the current directory at start; the launcher in it
  std::optional<std::string> settings = BareFile();  // the settings file's bytes; none: no file
  bool dataFile = true;
  std::optional<SimulatedWindows::ProgramKind> game = SimulatedWindows::ProgramKind::gui;
  int libraryAttempt = 1;  // d3dx9_40.dll in the system folder loads from this attempt on; 0: never
  std::uint32_t codePage = 932;  // the system's ANSI code page, 932 or 1252
};

// Puts the installation on `os`: the graphics library, the folder of `layout.directory` made the
// current directory with the launcher in it, and the settings file, data file and game there as
// `layout` says. The folder's drive must be there (a new machine has C:); a share is made with it.
inline void Install(SimulatedWindows& os, const Layout& layout) {
  os.setCodePage(layout.codePage);
  os.addLibrary(kSystemLibrary, layout.libraryAttempt);
  const std::string folder = FolderOf(layout.directory);
  os.setCurrentDirectoryPath(layout.directory);
  os.setModuleFileName(folder + "ZRK_START.exe");
  if (layout.settings) os.addFile(folder + "DLTZRK_DL.INI", *layout.settings);
  if (layout.dataFile) os.addFile(folder + "ZRK_DLN.SD", "data");
  if (layout.game) os.addExecutable(folder + "ZRK_DL.exe", *layout.game);
}

// A machine with an installation, run as the launcher's process.
class Installation {
 public:
  explicit Installation(const Layout& layout = Layout())
      : folder(FolderOf(layout.directory)),
        settingsPath(folder + "DLTZRK_DL.INI"),
        firstTemp(folder + "Zrk1.TMP"),
        original(layout.settings.value_or("")) {
    Install(os, layout);
  }

  // Runs the launcher as a process: its exit code.
  int Run() {
    CLauncherApp app;
    return os.runProcess([&] { return app.Run(os); });
  }

  std::string Settings() const { return os.fileBytes(settingsPath); }
  // Every file on the machine, as a set to compare before and after.
  std::set<std::string> Files() const {
    const std::vector<std::string> all = os.files();
    return {all.begin(), all.end()};
  }

  SimulatedWindows os;
  const std::string folder;        // the start-up folder, with its final backslash
  const std::string settingsPath;  // the settings file in it
  const std::string firstTemp;     // the name of the first new file a write makes there
  const std::string original;      // the settings file's bytes at the start
};

}  // namespace testing_support
