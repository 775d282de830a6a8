// Power cuts: one launch recorded; at every instant of it, every state of the disks its file
// system may leave; a restart, and a second launch on that state.
#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <memory>
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
enum class Way {
  newFile,
  hardLink,
  shortName,
  subst,
  junction,
  noNewFiles,
  beforeVista,
  fullInJournal,  // through a second name, and the disk full as the journal is begun
};

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

// The standard installation with long values (the settings take two pages), keyed for another
// drive (so that its first page changes too) or bare, on a disk of `fileSystem`, `fillers` more
// files before the settings file in its folder, the folder reached as `way` says.
Layout LayoutOf(bool keyed, Way way) {
  std::vector<std::string> values = Values(keyed ? "D:\\Games\\X\\" : kFolder);
  for (int n = 2; n < kSettingsLineCount; ++n) values[n] = std::string(90, 'a' + n % 26) + "\n";
  Layout layout;
  layout.settings = OnDisk(keyed ? Keyed(values, 'D') : values);
  if (way == Way::shortName) layout.directory = "C:\\" + Spelled(u"한글");
  return layout;
}
void Prepare(Installation& m, FileSystem fileSystem, Way way, int fillers) {
  m.os.setFileSystem('C', fileSystem);
  for (int i = 0; i < fillers; ++i) m.os.addFile(m.folder + "A" + std::to_string(10 + i), "");
  const std::string start = way == Way::subst ? "S:\\X" : "C:\\Linked\\X";
  if (way == Way::hardLink || way == Way::fullInJournal) {
    m.os.addHardLink(m.settingsPath, "C:\\Backup\\DLTZRK_DL.INI");
  }
  if (way == Way::shortName) m.os.setShortName(m.folder, "HANGUL~1");
  if (way == Way::subst) m.os.addSubstDrive('S', "C:\\Games");
  if (way == Way::junction) m.os.addJunction("C:\\Linked", "C:\\Games");
  if (way == Way::subst || way == Way::junction) {
    m.os.setCurrentDirectoryPath(start);
    m.os.setModuleFileName(start + "\\ZRK_START.exe");
  }
  if (way == Way::noNewFiles) m.os.refuseNewFiles(m.folder);
  if (way == Way::beforeVista) m.os.removeFinalPathName();
}

// The calls that begin the journal of a rewrite in place through a second name: its header, its
// new bytes, its first old ones. Where one fails, it is not made.
std::vector<std::size_t> JournalWrites(const Layout& layout) {
  Installation m(layout);
  Prepare(m, kNtfs, Way::hardLink, 0);
  m.Run();
  std::vector<std::size_t> writes;
  for (std::size_t i = 0; i < m.os.calls().size() && writes.size() < 3; ++i) {
    if (m.os.calls()[i] == "WriteFile " + m.folder + "ZRK.JNL") writes.push_back(i);
  }
  return writes;
}

// What is wrong with the state a cut left, as the next launch on it shows; empty when nothing
// is. `read`: whether that launch read the old or the new settings, or one of `also`; `seen`: what
// it read (none: nothing), then what it left.
std::string Judge(Installation& m, const std::string& before, const std::string& after, bool& read,
                  std::vector<std::optional<std::string>>& seen,
                  const std::vector<std::optional<std::string>>& also = {}) {
  const auto whole = [&](const std::optional<std::string>& bytes) {
    return bytes && (*bytes == before || *bytes == after ||
                     std::find(also.begin(), also.end(), bytes) != also.end());
  };
  const std::map<std::string, std::string> cut = FilesOn(m.os);
  bool wholeCopy = false;
  int ours = 0;
  for (const auto& [path, bytes] : cut) {
    wholeCopy = wholeCopy || whole(bytes);
    ours += IsOurs(path) ? 1 : 0;
  }
  std::optional<std::string> settings;
  m.os.whenOpened("DLTZRK_DL.INI", kGenericRead, [&] {
    if (m.os.hasFile(m.settingsPath)) settings = m.Settings();
  });
  m.Run();
  read = whole(settings);
  seen = {settings, m.os.hasFile(m.settingsPath) ? std::optional(m.Settings()) : std::nullopt};
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

// Every distinct state a cut during the recorded run on `m` may leave, each judged once by
// `judge(cut, choices)` on the machine restarted in it; `broad`: each file's pages all or none.
// The number of states.
template <typename Judged>
int EveryState(Installation& m, bool broad, Judged judge) {
  std::set<std::string> seen;
  for (std::size_t cut = 0; cut <= m.os.recordedEffects(); ++cut) {
    Choices choices;
    do {
      m.os.cutPower(
          cut, [&](int n) { return choices.pick(n); }, broad);
      std::string state;
      for (const auto& [path, bytes] : FilesOn(m.os)) state += path + '\n' + bytes + '\n';
      if (seen.insert(state).second) judge(cut, choices.picked);
    } while (choices.next());
  }
  return static_cast<int>(seen.size());
}

// A way of reaching the settings file on a file system, and how many states a cut may leave that
// do not end well: for a keyed file, then a bare one, each state counted once.
struct Row {
  FileSystem fileSystem;
  Way way;
  bool history;  // the folder has had so many files made and removed that new names go first
  int badStates;
  int badBareStates;
};

// Each row with a keyed and a bare settings file: one launch recorded; at every instant of it,
// every state its file system may leave; a restart, and a second launch on that state. Where the
// cut left a file of ours, also the second launch cut, and a third on each state that leaves.
void EveryStateEndsWithTheOldOrTheNewSettings(const std::vector<Row>& rows) {
  const char* ways[] = {"new file", "hard link",    "short name",   "subst",
                        "junction", "no new files", "before Vista", "full disk in the journal"};
  const char* fileSystems[] = {"NTFS, ", "FAT32, ", "exFAT, "};
  for (const Row& row : rows) {
    for (const bool keyed : {true, false}) {
      const std::string name = fileSystems[static_cast<int>(row.fileSystem)] +
                               std::string(row.history ? "with a history, " : "") +
                               ways[static_cast<int>(row.way)] + (keyed ? ", keyed" : ", bare");
      SCOPED_TRACE(name);
      const std::string before = *LayoutOf(keyed, row.way).settings;
      // The machine after the launch that is cut, recorded: `fillers` more files before the
      // settings file. With a history, new files were renamed over the settings file, as the
      // launcher did on every volume before, until one's slots came before the settings file's;
      // then `renames` more. The call `failing` fails, as a write on a full disk on Windows.
      const auto launched = [&](int fillers, int renames, std::size_t failing) {
        auto m = std::make_unique<Installation>(LayoutOf(keyed, row.way));
        Prepare(*m, row.fileSystem, row.way, fillers);
        if (failing != SIZE_MAX) m->os.failCall(failing, kErrorDiskFull);
        m->os.recordPowerCut();
        const auto rename = [&] {
          char temp[kMaxPath] = {};
          m->os.makeTempFile(m->folder.c_str(), "Zrk", temp);
          m->os.renameOver(temp, m->settingsPath.c_str());
        };
        for (std::size_t at = 0; row.history && m->os.directorySlot(m->settingsPath) >= at;) {
          at = m->os.directorySlot(m->settingsPath);
          rename();
        }
        for (int i = 0; i < renames; ++i) rename();
        if (row.history) m->os.addFile(m->settingsPath, before);
        m->os.recordPowerCut();
        m->Run();
        return m;
      };
      int states = 0;
      int read = 0;
      int recovering = 0;  // states a cut during the next start's recovery left
      int badRecovering = 0;
      std::map<std::string, int> wrongs;  // what was wrong, in how many states
      // On FAT and exFAT a change lands sector by sector: the settings file at each place in a
      // sector. Every version of every page in the first layout; in the others, which only move
      // the names about, each file's pages all or none.
      std::vector<std::size_t> failures{SIZE_MAX};  // none
      if (row.way == Way::fullInJournal) failures = JournalWrites(LayoutOf(keyed, row.way));
      for (int fillers = 0; fillers < (row.fileSystem == kNtfs ? 1 : 16); ++fillers) {
        for (int renames = 0; renames < (row.history ? 2 : 1); ++renames) {
          for (const std::size_t failing : failures) {
            const std::unique_ptr<Installation> m = launched(fillers, renames, failing);
            const std::string after = m->Settings();
            const bool broad = fillers > 0 || row.history;
            std::set<std::size_t> recoveryCut;
            states += EveryState(*m, broad, [&](std::size_t cut, const std::vector<int>& picked) {
              bool ours = false;
              const auto cutState = FilesOn(m->os);
              for (const auto& [path, bytes] : cutState) ours = ours || IsOurs(path);
              bool oldOrNew = false;
              std::vector<std::optional<std::string>> second;
              const std::string wrong = Judge(*m, before, after, oldOrNew, second);
              read += oldOrNew ? 1 : 0;
              if (!wrong.empty()) ++wrongs[wrong];
              // The recovery cut too, in the first layout of a keyed file, for the first state at
              // each cut that leaves a file of ours: the next start recorded, and a third judging
              // every state a cut during it may leave, which must read the old or the new settings,
              // or what the second read or left.
              if (broad || !keyed || !ours || !recoveryCut.insert(cut).second) return;
              const std::unique_ptr<Installation> r = launched(fillers, renames, failing);
              std::size_t replayed = 0;
              r->os.cutPower(cut, [&](int) { return picked[replayed++]; });
              ASSERT_EQ(FilesOn(r->os), cutState) << "the same choices, another state";
              r->os.recordPowerCut();
              r->Run();
              recovering += EveryState(*r, true, [&](std::size_t, const std::vector<int>&) {
                bool third = false;
                std::vector<std::optional<std::string>> ignored;
                const std::string wrong = Judge(*r, before, after, third, ignored, second);
                if (!wrong.empty()) ++wrongs[" recovery cut:" + wrong];
                badRecovering += wrong.empty() ? 0 : 1;
              });
            });
            m->os.cutPower(m->os.recordedEffects(), [](int n) { return n - 1; });
          }
        }
      }
      int bad = 0;
      for (const auto& [wrong, count] : wrongs) {
        std::cout << "    " << count << " x" << wrong << "\n";
        bad += count;
      }
      std::cout << name << ": " << states << " states, " << read << " read old or new, "
                << states - bad + badRecovering << " end well; a cut recovery: " << recovering
                << " states, " << recovering - badRecovering << " end well\n";
      EXPECT_EQ(bad, keyed ? row.badStates : row.badBareStates);
    }
  }
}

TEST(PowerCut, OnNtfsEveryStateEndsWithTheOldOrTheNewSettings) {
  EveryStateEndsWithTheOldOrTheNewSettings({
      {kNtfs, Way::newFile, false, 0, 0},
      {kNtfs, Way::hardLink, false, 0, 0},
      {kNtfs, Way::shortName, false, 0, 0},
      {kNtfs, Way::subst, false, 0, 0},
      {kNtfs, Way::junction, false, 0, 0},
      {kNtfs, Way::noNewFiles, false, 2, 6},
      {kNtfs, Way::fullInJournal, false, 32, 57},
  });
}

TEST(PowerCut, OnFat32EveryStateEndsWithTheOldOrTheNewSettings) {
  EveryStateEndsWithTheOldOrTheNewSettings({
      {kFat, Way::newFile, false, 0, 0},
      {kFat, Way::noNewFiles, false, 17, 66},
      {kFat, Way::newFile, true, 0, 0},
      {kFat, Way::beforeVista, false, 0, 0},
      {kFat, Way::beforeVista, true, 1, 1},
  });
}

TEST(PowerCut, OnExfatEveryStateEndsWithTheOldOrTheNewSettings) {
  EveryStateEndsWithTheOldOrTheNewSettings({
      {kExfat, Way::newFile, false, 0, 0},
      {kExfat, Way::noNewFiles, false, 17, 67},
      {kExfat, Way::newFile, true, 0, 0},
  });
}

}  // namespace
