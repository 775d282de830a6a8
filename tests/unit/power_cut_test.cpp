// Power cuts: one launch recorded; at every instant of it, every state of the disks its file
// system may leave; a restart, and a second launch on that state.
#include <gtest/gtest.h>

#include <iostream>
#include <regex>
#include <set>

#include "support/Installation.h"

using namespace testing_support;

namespace {

using FileSystem = SimulatedWindows::FileSystem;
constexpr FileSystem kNtfs = FileSystem::ntfs;
constexpr FileSystem kFat = FileSystem::fat;
constexpr FileSystem kExfat = FileSystem::exfat;

// How the launcher reaches the settings file, and so how it writes it.
enum class Way { newFile, hardLink, shortName, subst, junction, noNewFiles };

// Every sequence of choices, as an odometer whose wheels are the choices as they come: where an
// earlier choice changes what comes after, the wheels after it start again.
struct Choices {
  std::vector<int> picked, options;
  std::size_t at = 0;
  int pick(int n) {
    if (at == picked.size()) {
      picked.push_back(0);
      options.push_back(n);
    }
    return picked[at++];
  }
  bool next() {
    picked.resize(at);
    options.resize(at);
    for (at = 0; !picked.empty() && ++picked.back() == options.back(); options.pop_back()) {
      picked.pop_back();
    }
    return !picked.empty();
  }
};

// The files a write makes only for a moment: its new files and its journal.
bool IsOurs(const std::string& path) {
  static const std::regex ours(".*\\\\(ZRK\\.JNL|ZRK[0-9A-F]{1,4}\\.TMP)", std::regex::icase);
  return std::regex_match(path, ours);
}

std::map<std::string, std::string> FilesOn(const SimulatedWindows& os) {
  std::map<std::string, std::string> files;
  for (const std::string& path : os.files()) {
    if (os.hasFile(path)) files[path] = os.fileBytes(path);
  }
  return files;
}

// The standard installation with long values (the settings take four pages), keyed for another
// drive (so that its first page changes too) or bare, on a disk of `fileSystem`, `fillers` more
// files before the settings file in its folder, the folder reached as `way` says.
Layout LayoutOf(bool keyed, Way way) {
  std::vector<std::string> values = Values(keyed ? "D:\\Games\\X\\" : kFolder);
  for (int n = 2; n < kSettingsLineCount; ++n) values[n] = std::string(200, 'a' + n % 26) + "\n";
  Layout layout;
  layout.settings = OnDisk(keyed ? Keyed(values, 'D') : values);
  if (way == Way::shortName) layout.directory = "C:\\" + Spelled(u"한글");
  return layout;
}
void Prepare(Installation& m, FileSystem fileSystem, Way way, int fillers) {
  m.os.setFileSystem('C', fileSystem);
  for (int i = 0; i < fillers; ++i) m.os.addFile(m.folder + "A" + std::to_string(10 + i), "");
  const std::string start = way == Way::subst ? "S:\\X" : "C:\\Linked\\X";
  if (way == Way::hardLink) m.os.addHardLink(m.settingsPath, "C:\\Backup\\DLTZRK_DL.INI");
  if (way == Way::shortName) m.os.setShortName(m.folder, "HANGUL~1");
  if (way == Way::subst) m.os.addSubstDrive('S', "C:\\Games");
  if (way == Way::junction) m.os.addJunction("C:\\Linked", "C:\\Games");
  if (way == Way::subst || way == Way::junction) {
    m.os.setCurrentDirectoryPath(start);
    m.os.setModuleFileName(start + "\\ZRK_START.exe");
  }
  if (way == Way::noNewFiles) m.os.refuseNewFiles(m.folder);
}

// What is wrong with the state a cut left, as the second launch on it shows; empty when nothing
// is. `read`: whether that launch read the old or the new settings.
std::string Judge(Installation& m, const std::string& before, const std::string& after,
                  bool& read) {
  const std::map<std::string, std::string> cut = FilesOn(m.os);
  bool wholeCopy = false;
  int ours = 0;
  for (const auto& [path, bytes] : cut) {
    wholeCopy = wholeCopy || bytes == before || bytes == after;
    ours += IsOurs(path) ? 1 : 0;
  }
  std::optional<std::string> settings;
  m.os.whenOpened("DLTZRK_DL.INI", kGenericRead, [&] {
    if (m.os.hasFile(m.settingsPath)) settings = m.Settings();
  });
  m.Run();
  read = settings && (*settings == before || *settings == after);
  std::string wrong = settings && !read ? " torn settings read;" : "";
  if (!settings) wrong += wholeCopy ? " not installed, with whole settings there;" : " lost;";
  if (ours > 1) wrong += " " + std::to_string(ours) + " files of ours left;";
  for (const auto& [path, bytes] : FilesOn(m.os)) {
    const auto it = cut.find(path);
    if (IsOurs(path)) wrong += " " + path + " not removed;";
    if (!m.os.sameFile(path, m.settingsPath) && (it == cut.end() || it->second != bytes)) {
      wrong += " " + path + " written;";
    }
  }
  return wrong;
}

TEST(PowerCut, EveryStateEachFileSystemMayLeaveEndsWithTheOldOrTheNewSettings) {
  struct Row {
    FileSystem fileSystem;
    Way way;
    bool history;   // the folder has had so many files made and removed that new names go first
    int badStates;  // for a keyed file, then a bare one; each state counted once
    int badBareStates;
  };
  const Row rows[] = {
      {kNtfs, Way::newFile, false, 0, 0},      {kNtfs, Way::hardLink, false, 0, 0},
      {kNtfs, Way::shortName, false, 0, 0},    {kNtfs, Way::subst, false, 0, 0},
      {kNtfs, Way::junction, false, 0, 0},     {kNtfs, Way::noNewFiles, false, 2, 14},
      {kFat, Way::newFile, false, 0, 0},       {kFat, Way::shortName, false, 0, 0},
      {kFat, Way::subst, false, 0, 0},         {kFat, Way::junction, false, 0, 0},
      {kFat, Way::noNewFiles, false, 32, 224}, {kFat, Way::newFile, true, 2, 2},
      {kExfat, Way::newFile, false, 2, 2},     {kExfat, Way::noNewFiles, false, 32, 225},
      {kExfat, Way::newFile, true, 6, 6},
  };
  const char* ways[] = {"new file", "hard link", "short name", "subst", "junction", "no new files"};
  const char* fileSystems[] = {"NTFS, ", "FAT32, ", "exFAT, "};
  for (const Row& row : rows) {
    for (const bool keyed : {true, false}) {
      const std::string name = fileSystems[static_cast<int>(row.fileSystem)] +
                               std::string(row.history ? "with a history, " : "") +
                               ways[static_cast<int>(row.way)] + (keyed ? ", keyed" : ", bare");
      SCOPED_TRACE(name);
      int states = 0;
      int read = 0;
      std::map<std::string, int> wrongs;  // what was wrong, in how many states
      // On FAT and exFAT a change lands sector by sector: the settings file at each place in a
      // sector. With a history, the launch that first puts the new file before the settings file,
      // and the two after it.
      for (int fillers = 0; fillers < (row.fileSystem == kNtfs ? 1 : 16); ++fillers) {
        Installation m(LayoutOf(keyed, row.way));
        Prepare(m, row.fileSystem, row.way, fillers);
        const std::string before = m.Settings();
        for (int judged = row.history ? -1 : 0; judged < (row.history ? 3 : 1);) {
          if (row.history) m.os.addFile(m.settingsPath, before);
          m.os.recordPowerCut();
          const std::size_t at = m.os.directorySlot(m.settingsPath);
          m.Run();
          if (judged < 0 && m.os.directorySlot(m.settingsPath) < at) judged = 0;
          if (judged < 0) continue;
          ++judged;
          const std::string after = m.Settings();
          std::set<std::string> seen;
          for (std::size_t cut = 0; cut <= m.os.recordedEffects(); ++cut) {
            Choices choices;
            do {
              m.os.cutPower(cut, [&](int n) { return choices.pick(n); });
              std::string state;
              for (const auto& [path, bytes] : FilesOn(m.os)) state += path + '\n' + bytes + '\n';
              if (!seen.insert(state).second) continue;
              bool oldOrNew = false;
              const std::string wrong = Judge(m, before, after, oldOrNew);
              read += oldOrNew ? 1 : 0;
              if (!wrong.empty()) ++wrongs[wrong];
            } while (choices.next());
          }
          states += static_cast<int>(seen.size());
          m.os.cutPower(m.os.recordedEffects(), [](int n) { return n - 1; });
        }
      }
      int bad = 0;
      for (const auto& [wrong, count] : wrongs) {
        std::cout << "    " << count << " x" << wrong << "\n";
        bad += count;
      }
      std::cout << name << ": " << states << " states, " << read << " read old or new, "
                << states - bad << " end well\n";
      EXPECT_EQ(bad, keyed ? row.badStates : row.badBareStates);
    }
  }
}

}  // namespace
