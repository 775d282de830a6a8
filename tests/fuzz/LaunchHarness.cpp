#include "LaunchHarness.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <vector>

#include "app/LauncherApp.h"
#include "app/Messages.h"
#include "platform/FileReplace.h"
#include "simulated/SimulatedPaths.h"
#include "simulated/SimulatedWindows.h"
#include "support/Installation.h"
#include "support/SettingsModel.h"

namespace fuzz {
namespace {

constexpr std::size_t kMaxPathBytes = 259;  // a path buffer's bytes before its terminator

// The second name of a settings file with two, beside it.
std::string SecondName(const std::string& folder) {
  return folder + "DLTZRK_DL.BAK";
}
const std::string kToolsFolder = "\\\\tools\\bin\\";

enum class Message { none, directX, notInstalled, damaged };

struct Outcome {
  Message message = Message::none;
  bool settingsIsFile = true;
  std::string settings;  // the settings file's bytes afterwards
  bool gameStarted = false;
  std::string gameApplication;
  std::string gameDirectory;
  bool staleRemoved = false;  // the stale temporary file, removed before the settings are read
  bool journalLeft = false;   // the journal of a rewrite in place that left the file torn
};

bool IsValidComponent(const std::string& part) {
  if (part.empty() || part.size() > 255 || part == "." || part == "..") return false;
  bool lastIsSingle = true;
  for (std::size_t i = 0; i < part.size(); ++i) {
    const auto b = static_cast<unsigned char>(part[i]);
    lastIsSingle = !IsLeadByte(b);
    if (!lastIsSingle) {
      if (i + 1 >= part.size() || !IsTrailByte(static_cast<unsigned char>(part[i + 1]))) {
        return false;
      }
      ++i;
    } else if (!IsNameByte(b)) {
      return false;
    }
  }
  // Windows drops periods and spaces at the end of a name.
  return !lastIsSingle || (part.back() != '.' && part.back() != ' ');
}

// Splits at backslashes that are characters of their own, not trail bytes.
std::vector<std::string> Components(const std::string& tail) {
  std::vector<std::string> parts(1);
  for (std::size_t i = 0; i < tail.size(); ++i) {
    const auto b = static_cast<unsigned char>(tail[i]);
    if (IsLeadByte(b) && i + 1 < tail.size()) {
      parts.back() += tail.substr(i, 2);
      ++i;
    } else if (tail[i] == '\\') {
      parts.emplace_back();
    } else {
      parts.back() += tail[i];
    }
  }
  return parts;
}

bool HasDriveLetter(const std::string& path) {
  return path.size() >= 2 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':';
}

int DriveIndex(const std::string& path) {
  return std::toupper(static_cast<unsigned char>(path[0])) - 'A';
}

// The folder with a final backslash, as files inside it are named. Only a drive root has one
// already: a last byte 0x5C may be the trail byte of a double-byte character.
using testing_support::FolderOf;

using simulated::quoted;

const char* MessageName(Message m) {
  static const char* const kNames[] = {"none", "DirectX", "not installed", "damaged"};
  return kNames[static_cast<int>(m)];
}

// --- The model: what the launch must do on `spec` -----------------------------------------------

// The settings file through the launcher's writes, by the rules of a safe replace: a file that an
// exclusive CREATE_ALWAYS open would refuse is left alone; a plain file gets the new bytes in a new
// file that is renamed over it (refusals that pass are waited out, about ten tries); a file with a
// second name or behind a symbolic link, one on FAT, or one where the rename fails, is rewritten
// in place, and the old bytes the new ones covered are written back when that fails. A full disk
// counts the bytes a file grows by; writes that stop count every byte written. A volume that
// cannot flush changes nothing.
struct DiskModel {
  const MachineSpec& spec;
  std::string file;  // the settings file's bytes
  std::uint64_t free = spec.freeSpace.value_or(~std::uint64_t{0} / 2);
  std::uint64_t taken = spec.writesStopAfter.value_or(~std::uint64_t{0} / 2);
  bool held = spec.heldAtWrite;  // another program has the settings file open
  bool journalLeft = false;      // a rewrite in place left the file torn, and its journal
  int refusals = spec.renameRefusals;

  // Writes `size` bytes into a file `from` bytes long, from its start: how many go.
  std::uint64_t Takes(std::uint64_t size, std::uint64_t from) const {
    const std::uint64_t fit = std::min(size, from + free);
    return std::min(fit, taken);
  }

  void Write(const std::string& bytes, bool first) {
    const std::uint32_t refused = kAttributeReadOnly | kAttributeHidden | kAttributeSystem;
    if ((spec.settingsAttributes & refused) != 0 || held) return;
    // A removable drive holds FAT, whose renames a cut can leave half done: no rename there.
    const bool fat = HasDriveLetter(spec.directory) &&
                     spec.drives[DriveIndex(spec.directory)].type == kDriveRemovable;
    const bool plain = spec.settingsLink == SettingsLink::none && !fat;
    if (plain && !spec.refusesNewFiles && ThroughNewFile(bytes, first)) return;
    InPlace(bytes);
  }

  bool ThroughNewFile(const std::string& bytes, bool first) {
    // Another program opens the settings as the first new file is opened: no rename gets past it.
    if (spec.heldAtRename) held = true;
    const std::uint64_t went = Takes(bytes.size(), 0);
    taken -= went;
    // The room the new file took comes back when it is removed.
    if (went < bytes.size() || spec.flushFails || (first && spec.tempCloseFails)) return false;
    if (held || spec.renamesRefused) return false;
    if (refusals > kReplaceRetries) {
      refusals -= kReplaceRetries + 1;
      return false;
    }
    refusals = 0;
    free = free - bytes.size() + file.size();
    file = bytes;
    return true;
  }

  // The journal of a rewrite in place to `size` bytes, where a new file can be made: a header of
  // 12 bytes, the new bytes, the old ones and 4 more; its header written twice, then flushed; its
  // room comes back when it is removed. Its size when it is made; 0 where a write, a read of the
  // old bytes or its flush fails, and it is removed again.
  std::uint64_t Journal(std::uint64_t newSize) {
    if (spec.refusesNewFiles || journalLeft) return 0;
    const std::uint64_t size = 16 + newSize + file.size();
    const bool readable = !spec.readFaultAt || *spec.readFaultAt >= file.size();
    const std::uint64_t reached = readable ? size : 12 + newSize + *spec.readFaultAt / 4096 * 4096;
    const std::uint64_t went = Takes(reached, 0);
    taken -= went;
    if (!readable || went < size) return 0;
    const std::uint64_t header = std::min<std::uint64_t>(taken, 12);  // written again at the end
    taken -= header;
    if (header < 12) return 0;
    if (spec.flushFails) return 0;
    free -= size;
    return size;
  }

  void InPlace(const std::string& bytes, bool withJournal = true) {
    // The old bytes the new ones will cover are read first: a read error among them, and nothing
    // is done.
    const std::size_t kept = std::min(file.size(), bytes.size());
    if (held || (spec.readFaultAt && *spec.readFaultAt < kept)) return;
    const std::uint64_t journal = withJournal ? Journal(bytes.size()) : 0;
    const std::uint64_t went = Takes(bytes.size(), file.size());
    taken -= went;
    if (went == bytes.size() && !spec.flushFails) {
      if (bytes.size() > file.size()) {
        free -= bytes.size() - file.size();
      } else {
        free += file.size() - bytes.size();
      }
      file = bytes;
      free += journal;
      return;
    }
    // The old bytes go back over what was written, and with all of them the old length; where
    // the writes stop first, the file stays torn: old bytes as far as they went back, then new
    // ones as far as those went, then old ones. A flush that fails leaves the bytes as written.
    const std::uint64_t back = std::min<std::uint64_t>(taken, kept);
    taken -= back;
    const std::uint64_t grown = went > file.size() ? went - file.size() : 0;
    std::string after = file;
    if (after.size() < went) after.resize(went);
    after.replace(0, went, bytes, 0, went);
    after.replace(0, back, file, 0, back);
    if (back == kept) {
      after.resize(file.size());
    } else {
      free -= grown;
    }
    file = after;
    // With the old bytes back, once more without the journal, whose room it may have needed;
    // without them, the journal stays for the next start to put them back.
    if (journal != 0 && back != kept) {
      journalLeft = true;
    } else {
      free += journal;
    }
    if (journal != 0 && back == kept) InPlace(bytes, false);
  }
};

// Whether the stale temporary file is removed before the settings are read, as a new file a cut
// may have left: where the launch gets that far (the library loads, the paths fit, the volume
// can be read), the settings file is there, and the removal is not refused.
bool StaleRemoved(const MachineSpec& spec) {
  const DriveSpec* home =
      HasDriveLetter(spec.directory) ? &spec.drives[DriveIndex(spec.directory)] : nullptr;
  return spec.libraryAttempt > 0 && spec.libraryAttempt <= 11 && (home == nullptr || home->media) &&
         spec.directory.size() + 1 + std::string("DLTZRK_DL.INI").size() <= kMaxPathBytes &&
         spec.settings != SettingsKind::absent && !spec.refusesNewFiles &&
         (spec.staleTemp == StaleTemp::normal || spec.staleTemp == StaleTemp::hidden);
}

Outcome Expect(const MachineSpec& spec, bool readFaultNoticed) {
  Outcome out;
  out.settingsIsFile = spec.settings == SettingsKind::file;
  out.settings = spec.settingsBytes;

  if (spec.libraryAttempt <= 0 || spec.libraryAttempt > 11) {
    out.message = Message::directX;
    return out;
  }

  // The start-up directory always gets one more backslash; the settings path must fit a path
  // buffer.
  const std::string startup = spec.directory + "\\";
  const bool onDrive = HasDriveLetter(spec.directory);
  const DriveSpec* home = onDrive ? &spec.drives[DriveIndex(spec.directory)] : nullptr;
  const bool readable = home == nullptr || home->media;
  const bool fits = startup.size() + std::string("DLTZRK_DL.INI").size() <= kMaxPathBytes;
  out.staleRemoved = StaleRemoved(spec);
  if (!fits || !readable || spec.settings != SettingsKind::file || spec.heldAtRead ||
      readFaultNoticed) {
    out.message = Message::notInstalled;
    return out;
  }

  using namespace settings_model;
  Lines lines = Read(spec.settingsBytes).lines;
  if (IsKeyed(lines)) Strip(lines);
  CutAtNul(lines);
  Reconcile(lines, startup);
  std::string install = startup;

  // The data file: in the install folder, else on the fixed and removable drives from A to Z.
  const Data homeData = home != nullptr ? home->data : spec.shareData;
  Game installGame = home != nullptr ? home->game : spec.shareGame;
  if (homeData != Data::file) {
    bool found = false;
    for (int i = 0; onDrive && i < 26 && !found; ++i) {
      const DriveSpec& d = spec.drives[i];
      const bool probed = d.present && (d.type == kDriveRemovable || d.type == kDriveFixed);
      if (probed && d.media && d.data == Data::file) {
        const char letter = static_cast<char>('A' + i);
        install[0] = letter;
        lines[1][0] = letter;
        installGame = d.game;
        found = true;
      }
    }
    if (!found) {
      out.message = Message::damaged;
      return out;
    }
  }

  const std::string keyed = KeyedFile(lines);
  const std::string bare = BareFile(lines);
  DiskModel disk{spec, spec.settingsBytes};
  disk.Write(keyed, /*first=*/true);

  // The game: beside the launcher, else in the install folder.
  const std::string module = spec.launcherElsewhere ? kToolsFolder + "ZRK_START.exe"
                                                    : FolderOf(spec.directory) + "ZRK_START.exe";
  const bool haveBeside = module.size() <= kMaxPathBytes;
  const std::string beside = module.substr(0, module.rfind('\\') + 1) + "ZRK_DL.exe";
  const Game besideGame = spec.launcherElsewhere ? spec.gameBesideLauncher
                                                 : (home != nullptr ? home->game : spec.shareGame);
  const std::string inInstall = install + "ZRK_DL.exe";
  // Anything of the game's name beside the launcher is the one the system's search would find: it
  // alone is started, or fails to start. Only where there is none, the install folder's copy.
  if (haveBeside && besideGame != Game::none) {
    out.gameStarted = besideGame == Game::starts;
    out.gameApplication = beside;
  } else if (installGame == Game::starts) {
    out.gameStarted = true;
    out.gameApplication = inInstall;
  }
  out.gameDirectory = install;

  if (!out.gameStarted) disk.Write(bare, /*first=*/false);
  out.settings = disk.file;
  out.journalLeft = disk.journalLeft;
  return out;
}

// --- The machine
// ----------------------------------------------------------------------------------

void Build(const MachineSpec& spec, SimulatedWindows& os) {
  const bool onDrive = HasDriveLetter(spec.directory);
  for (int i = 0; i < 26; ++i) {
    const DriveSpec& d = spec.drives[i];
    const char letter = static_cast<char>('A' + i);
    // A new machine has C: fixed, with the system folder and its graphics library: a spec that
    // has no C: leaves it there, without the installation.
    if (d.present) os.addDrive(letter, d.type, d.media, d.fileSystemFlags);
  }
  // The launcher's folder, the current directory; what lies in it comes with the drives below.
  testing_support::Layout home;
  home.directory = spec.directory;
  home.settings.reset();
  home.dataFile = false;
  home.game.reset();
  home.libraryAttempt = spec.libraryAttempt;
  testing_support::Install(os, home);
  if (os.currentDirectoryPath() != spec.directory) {
    std::fprintf(stderr, "decoder fault: directory %s reads back as %s\n",
                 quoted(spec.directory, 400).c_str(),
                 quoted(os.currentDirectoryPath(), 400).c_str());
    std::abort();
  }
  const std::string folder = FolderOf(spec.directory);
  auto place = [&](const std::string& at, Data data, Game game) {
    if (data == Data::none && game == Game::none) return;
    os.addDirectory(at);
    if (data == Data::file || data == Data::held) os.addFile(at + "ZRK_DLN.SD", "data");
    if (data == Data::held) os.holdOpen(at + "ZRK_DLN.SD");
    if (data == Data::folder) os.addDirectory(at + "ZRK_DLN.SD\\");
    if (game != Game::none) os.addExecutable(at + "ZRK_DL.exe", game == Game::starts);
  };
  if (onDrive) {
    for (int i = 0; i < 26; ++i) {
      const DriveSpec& d = spec.drives[i];
      if (d.present) place(static_cast<char>('A' + i) + folder.substr(1), d.data, d.game);
    }
  } else {
    place(folder, spec.shareData, spec.shareGame);
  }

  if (spec.launcherElsewhere) {
    os.setModuleFileName(kToolsFolder + "ZRK_START.exe");
    if (spec.gameBesideLauncher != Game::none) {
      os.addExecutable(kToolsFolder + "ZRK_DL.exe", spec.gameBesideLauncher == Game::starts);
    }
  }

  const std::string settings =
      folder + (spec.settingsNameLower ? "dltzrk_dl.ini" : "DLTZRK_DL.INI");
  // The file itself: behind a symbolic link, in a folder of its own.
  const std::string file =
      spec.settingsLink == SettingsLink::symbolic ? folder + "SYNC\\DLTZRK_DL.INI" : settings;
  if (spec.settings == SettingsKind::file) {
    os.addFile(file, spec.settingsBytes, spec.settingsAttributes);
    if (spec.settingsLink == SettingsLink::symbolic) os.addSymbolicLink(settings, file);
    if (spec.settingsLink == SettingsLink::secondName) os.addHardLink(file, SecondName(folder));
  } else if (spec.settings == SettingsKind::folder) {
    os.addDirectory(settings + "\\");
  }
  if (spec.heldAtRead) os.holdOpen(settings);
  if (spec.heldAtWrite || spec.heldAtRename) {
    os.holdWhenOpened(spec.heldAtWrite ? "ZRK_DLN.SD" : ".TMP", settings);
  }
  if (spec.readFaultAt) os.failReadAt(file, *spec.readFaultAt);
  if (spec.readCloseFails) os.failCloseOf(file);
  if (spec.dataCloseFails) os.failCloseOf(folder + "ZRK_DLN.SD");

  const std::string temp = folder + "ZRK1.TMP";
  if (spec.staleTemp != StaleTemp::none) {
    os.addFile(temp, "stale",
               spec.staleTemp == StaleTemp::readOnly ? kAttributeReadOnly
               : spec.staleTemp == StaleTemp::hidden ? kAttributeHidden
                                                     : kAttributeArchive);
  }
  if (spec.staleTemp == StaleTemp::held) os.holdOpen(temp);
  // The first new file: the first free name, as the simulated GetTempFileNameA gives it, once a
  // stale file that goes at the start is gone.
  if (spec.tempCloseFails) {
    const bool staleStays = spec.staleTemp != StaleTemp::none && !StaleRemoved(spec);
    os.failCloseOf(folder + (staleStays ? "ZRK2.TMP" : "ZRK1.TMP"));
  }
  if (spec.flushFails) {
    os.failFlush();
  } else if (spec.flushUnsupported) {
    os.failFlush(kErrorInvalidFunction);
  }
  if (spec.renamesRefused) {
    os.refuseRenamesInto(settings);
  } else if (spec.renameRefusals > 0) {
    os.refuseRenamesInto(settings, kErrorSharingViolation, spec.renameRefusals);
  }
  if (spec.refusesNewFiles) os.refuseNewFiles(folder);
  if (spec.freeSpace) os.setFreeSpace(*spec.freeSpace);
  if (spec.writesStopAfter) os.failWritesAfter(*spec.writesStopAfter);
}

std::set<std::string> FoldedFiles(const SimulatedWindows& os) {
  std::set<std::string> files;
  for (std::string path : os.files()) {
    std::transform(path.begin(), path.end(), path.begin(), [](char c) {
      return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    });
    files.insert(path);
  }
  return files;
}

[[noreturn]] void Fail(const std::string& what, const Outcome& expected,
                       const SimulatedWindows& os) {
  std::fprintf(stderr,
               "\n*** launch oracle: %s\nexpected message: %s\nexpected settings: %s\n"
               "expected game: %d %s in %s\n%s\n",
               what.c_str(), MessageName(expected.message), quoted(expected.settings, 2000).c_str(),
               expected.gameStarted, quoted(expected.gameApplication, 400).c_str(),
               quoted(expected.gameDirectory, 400).c_str(), os.dump().c_str());
  std::abort();
}

// How often each outcome came up, printed at exit when ZRK_FUZZ_STATS is set: a check that the
// decoders reach every way a launch can end.
struct Tally {
  std::array<long, 4> messages{};
  long keyed = 0, bare = 0, kept = 0, moved = 0, started = 0, runs = 0;
  ~Tally() {
    if (std::getenv("ZRK_FUZZ_STATS") == nullptr) return;
    std::fprintf(stderr,
                 "launches %ld: none %ld, DirectX %ld, not installed %ld, damaged %ld; settings "
                 "keyed %ld, bare %ld, kept %ld; moved to another drive %ld; game started %ld\n",
                 runs, messages[0], messages[1], messages[2], messages[3], keyed, bare, kept, moved,
                 started);
  }
};
Tally tally;

Message ShownMessage(const SimulatedWindows& os) {
  if (os.messageBoxes().empty()) return Message::none;
  const SimulatedWindows::MessageBoxRecord& box = os.messageBoxes()[0];
  if (box.owner != 0 || box.type != kMbOk) return Message::none;
  if (box.text == kDirectXText && box.caption == kDirectXCaption) return Message::directX;
  if (box.text == kNotInstalledText && box.caption == kNotInstalledCaption) {
    return Message::notInstalled;
  }
  if (box.text == kDamagedText && box.caption == kDamagedCaption) return Message::damaged;
  return Message::none;
}

}  // namespace

MachineSpec StandardMachine(const std::string& settingsBytes) {
  MachineSpec spec;
  spec.drives[2].present = true;
  spec.drives[2].data = Data::file;
  spec.drives[2].game = Game::starts;
  spec.settingsBytes = settingsBytes;
  return spec;
}

bool IsValidDirectory(const std::string& directory) {
  std::string tail;
  if (directory.size() >= 3 && HasDriveLetter(directory) && directory[2] == '\\') {
    if (directory.size() == 3) return true;
    tail = directory.substr(3);
  } else if (directory.size() >= 2 && directory.compare(0, 2, "\\\\") == 0) {
    const std::vector<std::string> parts = Components(directory.substr(2));
    if (parts.size() < 2) return false;
    return std::all_of(parts.begin(), parts.end(), IsValidComponent);
  } else {
    return false;
  }
  const std::vector<std::string> parts = Components(tail);
  return std::all_of(parts.begin(), parts.end(), IsValidComponent);
}

void RunAndCheck(const MachineSpec& spec) {
  SimulatedWindows os;
  Build(spec, os);
  const std::set<std::string> filesBefore = FoldedFiles(os);

  CLauncherApp app;
  const int code = os.runProcess([&] { return app.Run(os); });

  // A read fault between what the reads must see and the end of the file may or may not be met,
  // depending on how the file was read in blocks: either outcome is right, each in full.
  const Message shown = ShownMessage(os);
  bool noticed = false;
  if (spec.readFaultAt && spec.settings == SettingsKind::file) {
    const std::size_t mustRead = settings_model::Read(spec.settingsBytes).mustRead;
    if (*spec.readFaultAt < mustRead) {
      noticed = true;
    } else if (*spec.readFaultAt < spec.settingsBytes.size()) {
      noticed = shown == Message::notInstalled;
    }
  }
  const Outcome expected = Expect(spec, noticed);

  if (code != 0) Fail("exit code " + std::to_string(code), expected, os);
  const std::size_t boxes = os.messageBoxes().size();
  if (boxes != (expected.message == Message::none ? 0u : 1u) || shown != expected.message) {
    Fail("message " + std::string(MessageName(shown)) + " (" + std::to_string(boxes) + " boxes)",
         expected, os);
  }

  const std::string folder = FolderOf(spec.directory);
  const std::string settingsPath = folder + "DLTZRK_DL.INI";
  if (os.hasFile(settingsPath) != expected.settingsIsFile) {
    Fail("settings file appeared or vanished", expected, os);
  }
  if (expected.settingsIsFile && os.fileBytes(settingsPath) != expected.settings) {
    const std::string actual = os.fileBytes(settingsPath);
    const char* kind = actual == spec.settingsBytes ? "as it was" : "other bytes";
    Fail(std::string("settings file differs: ") + kind + " " + quoted(actual, 2000), expected, os);
  }

  // Every name of the file sees the new bytes: a second name is still the same file, a symbolic
  // link still a link.
  if (expected.settingsIsFile && spec.settingsLink == SettingsLink::secondName &&
      !os.sameFile(settingsPath, SecondName(folder))) {
    Fail("the second name was parted from the settings file", expected, os);
  }
  if (expected.settingsIsFile && spec.settingsLink == SettingsLink::symbolic &&
      os.linkTarget(settingsPath).empty()) {
    Fail("the symbolic link was replaced by a file", expected, os);
  }

  // Nothing is left behind and nothing is removed but a stale temporary file.
  std::set<std::string> filesAfter = filesBefore;
  std::string stale = folder + "ZRK1.TMP";
  std::transform(stale.begin(), stale.end(), stale.begin(), [](char c) {
    return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  });
  if (expected.staleRemoved) filesAfter.erase(stale);
  if (expected.journalLeft) filesAfter.insert(stale.substr(0, stale.size() - 8) + "ZRK.JNL");
  if (FoldedFiles(os) != filesAfter) Fail("files were added or removed", expected, os);
  if (!os.openHandles().empty()) Fail("handles left open", expected, os);
  if (!os.handlesOpenAtExit().empty()) Fail("handles open at the process's end", expected, os);
  if (!os.criticalErrorPrompts().empty()) Fail("the player was asked for a disk", expected, os);
  for (const auto& game : os.startedProcesses()) {
    if (!game.openFiles.empty()) Fail("a file open as the game starts", expected, os);
  }
  // Only a folder that starts with a drive letter is looked for on other drives.
  if (!HasDriveLetter(spec.directory) && os.callCount("GetDriveTypeA") != 0) {
    Fail("drives probed for a folder on a network share", expected, os);
  }

  ++tally.runs;
  ++tally.messages[static_cast<int>(expected.message)];
  tally.started += expected.gameStarted ? 1 : 0;
  tally.moved +=
      expected.gameDirectory.size() > 0 && expected.gameDirectory[0] != spec.directory[0];
  if (expected.settingsIsFile && expected.message == Message::none) {
    const bool keyed = expected.settings.find("CD-ROM=C:\r\n") != std::string::npos &&
                       expected.settings != spec.settingsBytes;
    tally.kept += expected.settings == spec.settingsBytes ? 1 : 0;
    tally.keyed += keyed ? 1 : 0;
    tally.bare += !keyed && expected.settings != spec.settingsBytes ? 1 : 0;
  }

  const auto& started = os.startedProcesses();
  if (started.size() != (expected.gameStarted ? 1u : 0u)) {
    Fail("games started: " + std::to_string(started.size()), expected, os);
  }
  if (expected.gameStarted && (started[0].application != expected.gameApplication ||
                               started[0].commandLine != "ZRK_DL.exe" ||
                               started[0].currentDirectory != expected.gameDirectory ||
                               started[0].creationFlags != kNormalPriorityClass)) {
    Fail("game started as " + quoted(started[0].application, 400) + " in " +
             quoted(started[0].currentDirectory, 400),
         expected, os);
  }
}

}  // namespace fuzz
