// Power cuts: one launch recorded, then at every instant of it every state of the disks that the
// file system may leave, a restart, and a second launch on it.
#include <gtest/gtest.h>

#include <iostream>
#include <set>

#include "support/Installation.h"

using namespace testing_support;

namespace {

using FileSystem = SimulatedWindows::FileSystem;

// How the launcher reaches the settings file, and so how it writes it.
enum class Way { newFile, hardLink, shortName, subst, junction, noNewFiles };

// Every sequence of choices, in the order of an odometer whose wheels are the choices as they
// come: where an earlier choice changes what comes after, the wheels after it start again.
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
    at = 0;
    while (!picked.empty() && ++picked.back() == options.back()) {
      picked.pop_back();
      options.pop_back();
    }
    return !picked.empty();
  }
};

// Whether `path` is one of the files a write leaves only for a moment: a new file or a journal.
bool IsOurs(const std::string& path) {
  const std::string name = path.substr(path.rfind('\\') + 1);
  return name == "DLTZRK.JNL" ||
         (name.size() > 7 && (name.compare(0, 3, "ZRK") == 0 || name.compare(0, 3, "Zrk") == 0) &&
          name.compare(name.size() - 4, 4, ".TMP") == 0);
}

std::map<std::string, std::string> FilesOn(const SimulatedWindows& os) {
  std::map<std::string, std::string> files;
  for (const std::string& path : os.files()) {
    if (os.hasFile(path)) files[path] = os.fileBytes(path);
  }
  return files;
}

struct Row {
  FileSystem fileSystem;
  Way way;
  bool keyed;     // the settings file before the launch: keyed, or bare
  int badStates;  // states that do not end well, each counted once
};

// The standard installation, on a disk of `row`'s file system, reached as `row` says. Its values
// are long, so that the settings take four pages; a keyed file names another drive, so that its
// first page changes too.
Layout LayoutOf(const Row& row) {
  std::vector<std::string> values = Values(row.keyed ? "D:\\Games\\X\\" : kFolder);
  for (int n = 2; n < kSettingsLineCount; ++n) values[n] = std::string(200, 'a' + n % 26) + "\n";
  Layout layout;
  layout.settings = OnDisk(row.keyed ? Keyed(values, 'D') : values);
  if (row.way == Way::shortName) layout.directory = "C:\\" + Spelled(u"한글");
  return layout;
}

// `fillers` more files in the folder, before the settings file in the order of its slots.
void Prepare(Installation& m, const Row& row, int fillers) {
  m.os.setFileSystem('C', row.fileSystem);
  for (int i = 0; i < fillers; ++i)
    m.os.addFile(m.folder + "A" + std::to_string(10 + i) + ".DAT", "");
  switch (row.way) {
    case Way::hardLink:
      m.os.addHardLink(m.settingsPath, "C:\\Backup\\DLTZRK_DL.INI");
      break;
    case Way::shortName:
      m.os.setShortName(m.folder, "HANGUL~1");
      break;
    case Way::subst:
      m.os.addSubstDrive('S', "C:\\Games");
      m.os.setCurrentDirectoryPath("S:\\X");
      m.os.setModuleFileName("S:\\X\\ZRK_START.exe");
      break;
    case Way::junction:
      m.os.addJunction("C:\\Linked", "C:\\Games");
      m.os.setCurrentDirectoryPath("C:\\Linked\\X");
      m.os.setModuleFileName("C:\\Linked\\X\\ZRK_START.exe");
      break;
    case Way::noNewFiles:
      m.os.refuseNewFiles(m.folder);
      break;
    case Way::newFile:
      break;
  }
}

// What is wrong with the state the cut left, judged by the second launch on it; empty when
// nothing is. `oldOrNew`: whether that launch read the old or the new settings.
std::string Judge(Installation& m, const std::string& before, const std::string& after,
                  bool& oldOrNew) {
  const std::map<std::string, std::string> cut = FilesOn(m.os);
  bool wholeCopy = false;
  int ours = 0;
  for (const auto& [path, bytes] : cut) {
    wholeCopy = wholeCopy || bytes == before || bytes == after;
    ours += IsOurs(path) ? 1 : 0;
  }
  std::optional<std::string> read;
  m.os.whenOpened("DLTZRK_DL.INI", kGenericRead, [&] {
    if (m.os.hasFile(m.settingsPath)) read = m.Settings();
  });
  m.Run();
  std::string wrong;
  oldOrNew = read && (*read == before || *read == after);
  if (read && !oldOrNew) wrong += " torn settings read;";
  if (!read && wholeCopy) wrong += " not installed while a whole copy was on the disk;";
  if (!read && !wholeCopy) wrong += " settings lost;";
  if (ours > 1) wrong += " " + std::to_string(ours) + " new files left;";
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
  const FileSystem ntfs = FileSystem::ntfs;
  const FileSystem fat = FileSystem::fat;
  const Row rows[] = {
      {ntfs, Way::newFile, true, 0},    {ntfs, Way::newFile, false, 0},
      {ntfs, Way::hardLink, true, 0},   {ntfs, Way::hardLink, false, 0},
      {ntfs, Way::shortName, true, 0},  {ntfs, Way::shortName, false, 0},
      {ntfs, Way::subst, true, 0},      {ntfs, Way::subst, false, 0},
      {ntfs, Way::junction, true, 0},   {ntfs, Way::junction, false, 0},
      {ntfs, Way::noNewFiles, true, 2}, {ntfs, Way::noNewFiles, false, 14},
      {fat, Way::newFile, true, 0},     {fat, Way::newFile, false, 0},
      {fat, Way::shortName, true, 0},   {fat, Way::shortName, false, 0},
      {fat, Way::subst, true, 0},       {fat, Way::subst, false, 0},
      {fat, Way::junction, true, 0},    {fat, Way::junction, false, 0},
      {fat, Way::noNewFiles, true, 32}, {fat, Way::noNewFiles, false, 224},
  };
  const char* ways[] = {"new file", "hard link", "short name", "subst", "junction", "no new files"};
  for (const Row& row : rows) {
    const std::string name = std::string(row.fileSystem == ntfs ? "NTFS" : "FAT") + ", " +
                             ways[static_cast<int>(row.way)] + (row.keyed ? ", keyed" : ", bare");
    SCOPED_TRACE(name);
    // On FAT a change lands sector by sector: the settings file at each place in a sector.
    int states = 0;
    int oldOrNew = 0;
    std::map<std::string, int> wrongs;  // what was wrong, and in how many states
    for (int fillers = 0; fillers < (row.fileSystem == fat ? 16 : 1); ++fillers) {
      Installation m(LayoutOf(row));
      Prepare(m, row, fillers);
      const std::string before = m.Settings();
      m.os.recordPowerCut();
      m.Run();
      const std::string after = m.Settings();
      ASSERT_NE(before, after);
      std::set<std::string> seen;
      for (std::size_t cut = 0; cut <= m.os.recordedEffects(); ++cut) {
        Choices choices;
        do {
          m.os.cutPower(cut, [&](int n) { return choices.pick(n); });
          std::string state;
          for (const auto& [path, bytes] : FilesOn(m.os)) state += path + '\n' + bytes + '\n';
          if (!seen.insert(state).second) continue;
          bool read = false;
          const std::string wrong = Judge(m, before, after, read);
          oldOrNew += read ? 1 : 0;
          if (!wrong.empty()) ++wrongs[wrong];
        } while (choices.next());
      }
      states += static_cast<int>(seen.size());
    }
    int bad = 0;
    for (const auto& [wrong, count] : wrongs) {
      std::cout << "    " << count << " x" << wrong << "\n";
      bad += count;
    }
    std::cout << name << ": " << states << " states, " << oldOrNew << " read old or new, "
              << states - bad << " end well\n";
    EXPECT_EQ(bad, row.badStates);
  }
}

}  // namespace
