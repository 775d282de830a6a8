// How the write-back goes its ways: through a new file and a rename, or in place, and which files
// it leaves alone. Single faults of whole launches are in the fault matrix.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>

#include "app/LaunchRecord.h"
#include "platform/FileReplace.h"
#include "settings/SettingsFile.h"
#include "support/Installation.h"

using namespace testing_support;

namespace {

// The name the simulated GetTempFileNameA gives first in a folder where it is free.
const std::string kTemp = kFolder + "Zrk1.TMP";

// Wine's GetTempFileNameA in a folder that refuses new files: a number comes back, but no file
// was made. A file that happens to have that name is someone else's and is not touched.
TEST(WriteSafety, TemporaryNameWithoutItsFileIsNotWrittenTo) {
  for (const bool taken : {false, true}) {
    SCOPED_TRACE(taken ? "a file of that name" : "no file of that name");
    Installation machine;
    if (taken) machine.os.addFile(kTemp, "someone else's");
    machine.os.refuseNewFiles(kFolder);
    machine.os.answerTempNamesAsWine();
    machine.Run();
    EXPECT_EQ(machine.Settings(), KeyedFile());
    EXPECT_EQ(machine.os.hasFile(kTemp), taken);
    if (taken) {
      EXPECT_EQ(machine.os.fileBytes(kTemp), "someone else's");
    }
  }
}

// How each way in works: through the new file and a rename, with retries for a refusal that
// passes, or in place without emptying the file first.
TEST(WriteSafety, RefusedRenamesAreRetriedForAboutHalfASecondThenTheFileIsRewrittenInPlace) {
  // In place, the calls on the settings file from its open for reading and writing on: the old
  // bytes read (two reads: the file is shorter than the new bytes), then read again from the start
  // into the journal, the new ones written and flushed, the end set, flushed again; or, where the
  // flush fails (and with it the journal's), the old bytes put back with the old end, and flushed.
  const std::vector<std::string> inPlace = {
      "ReadFile",     "ReadFile",         "SetFilePointer", "ReadFile",
      "ReadFile",     "SetFilePointer",   "WriteFile",      "FlushFileBuffers",
      "SetEndOfFile", "FlushFileBuffers", "CloseHandle"};
  const std::vector<std::string> putBack = {
      "ReadFile",       "ReadFile",         "SetFilePointer",   "ReadFile",       "ReadFile",
      "SetFilePointer", "WriteFile",        "FlushFileBuffers", "SetFilePointer", "WriteFile",
      "SetEndOfFile",   "FlushFileBuffers", "CloseHandle"};
  struct Case {
    const char* name;
    int refusals;  // of the rename, with a sharing violation; -1 for good
    int pauses;
    bool flushFails;
    std::vector<std::string> inPlaceCalls;
  };
  const Case cases[] = {
      {"refused three times", 3, 3, false, {}},
      {"refused ten times", 10, 10, false, {}},
      {"refused for good", -1, 10, false, inPlace},
      {"refused for good, and no flush goes through", -1, 0, true, putBack},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Installation machine;
    machine.os.refuseRenamesInto(kSettings, kErrorSharingViolation, c.refusals);
    if (c.flushFails) machine.os.failFlush();
    machine.Run();
    EXPECT_EQ(machine.Settings(), c.flushFails ? BareFile() : KeyedFile());
    EXPECT_EQ(machine.os.pauses(), std::vector<std::uint32_t>(c.pauses, 50));
    EXPECT_EQ(machine.os.callCount("MoveFileExA " + kTemp), c.flushFails ? 0 : c.pauses + 1);
    // The rewrite in place opens the file without emptying it.
    const auto& calls = machine.os.calls();
    const int open =
        machine.os.callIndex("CreateFileA " + kSettings + " | access=0xC0000000 share=0x0");
    std::vector<std::string> fileCalls;
    for (std::size_t i = open + 1; open >= 0 && i < calls.size(); ++i) {
      if (calls[i].find(kSettings) != std::string::npos) {
        fileCalls.push_back(calls[i].substr(0, calls[i].find(' ')));
      }
    }
    EXPECT_EQ(fileCalls, c.inPlaceCalls);
  }
}

TEST(WriteSafety, SettingsThatMustBeLeftAloneAreNotWaitedFor) {
  Installation machine;
  LaunchRecord r;
  SimulatedWindows& os = machine.os;
  ASSERT_TRUE(LoadSettings(os, r.paths, r.lines, r.installFolder));
  os.holdOpen(kSettings);
  EXPECT_FALSE(WriteKeyedSettings(os, r.paths, r.lines));
  EXPECT_FALSE(WriteBareSettings(os, r.paths, r.lines));
  EXPECT_EQ(os.callCount("GetTempFileNameA"), 0);
  EXPECT_TRUE(os.pauses().empty());
  os.release(kSettings);
  EXPECT_EQ(machine.Settings(), BareFile());
  // Once free again, both forms are written whole.
  EXPECT_TRUE(WriteKeyedSettings(os, r.paths, r.lines));
  EXPECT_EQ(machine.Settings(), KeyedFile());
  EXPECT_TRUE(WriteBareSettings(os, r.paths, r.lines));
  EXPECT_EQ(machine.Settings(), BareFile());
}

TEST(WriteSafety, SettingsFileGoneBeforeTheWriteIsCreatedAnew) {
  Installation machine;
  LaunchRecord r;
  ASSERT_TRUE(LoadSettings(machine.os, r.paths, r.lines, r.installFolder));
  machine.os.deleteFile(kSettings.c_str());
  EXPECT_TRUE(WriteKeyedSettings(machine.os, r.paths, r.lines));
  EXPECT_EQ(machine.Settings(), KeyedFile());
}

// The rewrite in place keeps only the old bytes the new ones cover: a settings file of any size
// is written where no new file can be made, its tail beyond line 59 cut off.
TEST(WriteSafety, SettingsFilesOfAnySizeAreRewrittenInPlace) {
  for (const std::size_t size : {std::size_t{100} * 1024, std::size_t{1024} * 1024}) {
    SCOPED_TRACE(size);
    Installation machine;
    std::string settings = BareFile();
    settings += std::string(size - settings.size(), 'x');  // ignored after line 59
    machine.os.addFile(kSettings, settings);
    machine.os.refuseNewFiles(kFolder);
    machine.Run();
    EXPECT_EQ(machine.Settings(), KeyedFile());
    // Read no further than the new bytes reach: 4096-byte blocks while loading, then one read.
    EXPECT_LE(machine.os.callCount("ReadFile " + kSettings), 6);
  }
}

// A rename replaces the name, not the file: it is used only where the name is the file's only
// one and the system resolves it to itself. Anything else is rewritten in place, as the plain
// write would have written it, so that every name and link sees the new settings.
TEST(WriteSafety, OnlyAPlainFileIsReplacedByARename) {
  const std::string other = "C:\\Backup\\DLTZRK_DL.INI";
  const std::string shared = "D:\\Sync\\DLTZRK_DL.INI";
  // Longer than any path the launcher forms, so longer than the final path's buffer.
  const std::string far = "D:\\" + std::string(240, 'S') + "\\" + std::string(20, 'T') + ".INI";
  struct Case {
    const char* name;
    std::function<void(SimulatedWindows&)> prepare;
    bool renamed;
    std::string alsoKeyed;  // another name or the link's target, which must see the new bytes
    bool link = false;      // the settings file is a symbolic link to `alsoKeyed`
    std::string folder = kFolder;  // the start-up folder, as FOLDER names it
  };
  // The settings file replaced by a symbolic link to `target` on drive D.
  auto linked = [](const std::string& target, bool showsReparsePoint) {
    return [=](SimulatedWindows& os) {
      os.addDrive('D', kDriveFixed);
      os.addFile(target, os.fileBytes(kSettings));
      os.deleteFile(kSettings.c_str());
      os.addSymbolicLink(kSettings, target, showsReparsePoint);
    };
  };
  const Case cases[] = {
      {"a plain file", [](SimulatedWindows&) {}, true, ""},
      // The system answers the name on disk; a difference of case alone is the same path.
      {"a plain file named in lower case on disk",
       [](SimulatedWindows& os) {
         const std::string bytes = os.fileBytes(kSettings);
         os.deleteFile(kSettings.c_str());
         os.addFile(kFolder + "dltzrk_dl.ini", bytes);
       },
       true, ""},
      {"a plain file where the final path cannot be had",
       [](SimulatedWindows& os) { os.removeFinalPathName(); }, true, ""},
      // A volume whose names have no journal: a cut can leave a rename half done.
      {"a plain file on FAT32",
       [](SimulatedWindows& os) { os.setFileSystem('C', SimulatedWindows::FileSystem::fat); },
       false, ""},
      {"a plain file on exFAT",
       [](SimulatedWindows& os) { os.setFileSystem('C', SimulatedWindows::FileSystem::exfat); },
       false, ""},
      {"a plain file on FAT32 where the file system cannot be asked",
       [](SimulatedWindows& os) {
         os.setFileSystem('C', SimulatedWindows::FileSystem::fat);
         os.removeFinalPathName();
       },
       true, ""},
      // Its folder reached another way: the folder resolves there alike.
      {"a plain file on a subst drive",
       [](SimulatedWindows& os) {
         os.addSubstDrive('S', "C:\\Games");
         os.setCurrentDirectoryPath("S:\\X");
       },
       true, "", false, "S:\\X\\"},
      {"a plain file behind a junction",
       [](SimulatedWindows& os) {
         os.addJunction("C:\\Linked", "C:\\Games");
         os.setCurrentDirectoryPath("C:\\Linked\\X");
       },
       true, "", false, "C:\\Linked\\X\\"},
      {"a file with a second name", [=](SimulatedWindows& os) { os.addHardLink(kSettings, other); },
       false, other},
      {"a symbolic link", linked(shared, true), false, shared, true},
      {"a symbolic link as Wine shows it, without a reparse attribute", linked(shared, false),
       false, shared, true},
      {"a symbolic link as Wine shows it, to a long path", linked(far, false), false, far, true},
      {"a symbolic link where the final path cannot be had",
       [=](SimulatedWindows& os) {
         linked(shared, true)(os);
         os.removeFinalPathName();
       },
       false, shared, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Installation machine;
    c.prepare(machine.os);
    machine.Run();
    EXPECT_EQ(machine.Settings(), KeyedFile(c.folder)) << machine.os.dump();
    EXPECT_EQ(machine.os.callCount("MoveFileExA"), c.renamed ? 1 : 0);
    EXPECT_EQ(machine.os.callCount("GetTempFileNameA"), c.renamed ? 1 : 0);
    if (!c.alsoKeyed.empty()) {
      EXPECT_TRUE(machine.os.sameFile(kSettings, c.alsoKeyed));
    }
    EXPECT_EQ(machine.os.linkTarget(kSettings), c.link ? c.alsoKeyed : "");
  }
}

// What a cut in the middle of a write may leave is put right before the settings are read: a new
// file that holds whole settings where the settings file is missing becomes the settings file;
// one that is not whole is kept then, as it may be all there is; every other new file goes. Only
// names as GetTempFileNameA gives them count as new files ("ZRK" in any case, one to four hex
// digits, ".TMP").
TEST(WriteSafety, NewFilesACutLeftAreTakenBackOrRemovedBeforeTheSettingsAreRead) {
  std::string partial = KeyedFile();
  partial.replace(100, 100, std::string(100, '\0'));  // a page the cut lost, as NTFS shows it
  std::string truncated = KeyedFile();
  truncated.resize(truncated.size() - 11);  // a keyed file without its closing line
  const std::string notOurs[] = {"ZRK12345.TMP", "ZRKX.TMP", "AZRK1.TMP", "ZRK1.TMP.INI"};
  struct Case {
    const char* name;
    bool settings;  // the settings file is there
    std::map<std::string, std::string> left;
    bool read;                   // the settings are read (else: the not-installed message)
    std::set<std::string> kept;  // of `left`
  };
  const Case cases[] = {
      {"whole keyed settings", false, {{"Zrk1.TMP", KeyedFile()}}, true, {}},
      {"whole bare settings, as an older release names it",
       false,
       {{"ZRK1.TMP", BareFile()}},
       true,
       {}},
      {"a page lost", false, {{"zrk2f.tmp", partial}}, false, {"zrk2f.tmp"}},
      {"no closing line", false, {{"ZRKFFFF.TMP", truncated}}, false, {"ZRKFFFF.TMP"}},
      {"the settings file there", true, {{"Zrk1.TMP", KeyedFile()}, {"ZRKA.TMP", ""}}, true, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Layout layout;
    if (!c.settings) layout.settings.reset();
    Installation machine(layout);
    for (const auto& [name, bytes] : c.left) machine.os.addFile(kFolder + name, bytes);
    for (const std::string& name : notOurs) machine.os.addFile(kFolder + name, "not ours");
    machine.Run();
    EXPECT_EQ(machine.os.hasFile(kSettings), c.read);
    if (c.read) {
      EXPECT_EQ(machine.Settings(), KeyedFile());
    }
    EXPECT_EQ(machine.os.messageBoxes().size(), c.read ? 0u : 1u);
    EXPECT_EQ(machine.os.startedProcesses().size(), c.read ? 1u : 0u);
    for (const auto& [name, bytes] : c.left) {
      EXPECT_EQ(machine.os.hasFile(kFolder + name), c.kept.count(name) == 1) << name;
    }
    for (const std::string& name : notOurs)
      EXPECT_EQ(machine.os.fileBytes(kFolder + name), "not ours");
  }
}

// The journal of a rewrite in place, as its format says: "ZRKJ", the old and the new size (32
// bits, least significant byte first), the new bytes, the old bytes, and the FNV-1a checksum of
// the bytes from the new ones on followed by the first 12.
std::string JournalOf(const std::string& old, const std::string& fresh) {
  const auto number = [](std::size_t value) {
    std::string bytes;
    for (int i = 0; i < 4; ++i) bytes += static_cast<char>(value >> (8 * i) & 0xFF);
    return bytes;
  };
  const std::string header = "ZRKJ" + number(old.size()) + number(fresh.size());
  std::uint32_t hash = 2166136261u;
  for (const char c : fresh + old + header)
    hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
  return header + fresh + old + number(hash);
}

// A rewrite in place that a cut tore is rolled back at the next start by its journal, waiting out
// another program's short hold of either file; a journal is tied to the rewrite it was written
// for: beside a file that holds anything but the old bytes, the new ones or a mix of the two,
// it goes and the file stays. A file that may be torn and cannot be rolled back is not read.
TEST(WriteSafety, AJournalRollsBackOnlyTheRewriteItWasWrittenFor) {
  const std::string old = BareFile();
  const std::string fresh = KeyedFile();
  const std::string torn = fresh.substr(0, 100) + old.substr(100);  // new bytes as far as they came
  std::string since = old;  // the game wrote another option since
  since.replace(since.find("v2\r\n"), 2, "w2");
  const std::string journal = JournalOf(old, fresh);
  const std::string kJournal = kFolder + "ZRK.JNL";
  struct Case {
    const char* name;
    std::optional<std::string> settings;
    std::string journal;
    std::function<void(SimulatedWindows&)> others;  // other programs about
    std::optional<std::string> read;                // what the launch reads; none: not installed
    int pauses;
  };
  const auto hold = [&](const std::string& path, int calls) {
    return [=](SimulatedWindows& os) { os.holdForNextCalls(path, calls); };
  };
  const auto none = [](SimulatedWindows&) {};
  const Case cases[] = {
      {"torn", torn, journal, none, old, 0},
      {"torn, the settings file held for a moment", torn, journal, hold(kSettings, 3), old, 3},
      {"torn, the journal held for a moment", torn, journal, hold(kJournal, 3), old, 3},
      {"torn, the settings file held for good", torn, journal,
       [&](SimulatedWindows& os) { os.holdOpen(kSettings); }, std::nullopt, 10},
      {"the new bytes", fresh, journal, none, fresh, 0},
      {"written since", since, journal, none, since, 0},
      {"the settings file gone with the cut", std::nullopt, journal, none, old, 0},
      {"a journal cut short", torn, journal.substr(0, journal.size() - 1), none, torn, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Layout layout;
    layout.settings = c.settings;
    Installation machine(layout);
    machine.os.addFile(kJournal, c.journal);
    c.others(machine.os);
    std::optional<std::string> read;
    machine.os.whenOpened("DLTZRK_DL.INI", kGenericRead, [&] { read = machine.Settings(); });
    machine.Run();
    EXPECT_EQ(read, c.read);
    EXPECT_EQ(machine.os.pauses().size(), static_cast<std::size_t>(c.pauses));
    EXPECT_EQ(machine.os.hasFile(kJournal), !c.read.has_value());
    EXPECT_EQ(machine.os.messageBoxes().size(), c.read ? 0u : 1u);
  }
}

// Beside a journal that is not this launch's (another launcher's, which appeared once the start
// had rolled back what it found), a rewrite in place writes nothing, and leaves it as it is.
TEST(WriteSafety, NothingIsRewrittenInPlaceBesideAnotherJournal) {
  Installation machine;
  machine.os.addHardLink(kSettings, "C:\\Backup\\DLTZRK_DL.INI");
  machine.os.writeWhenOpened("DLTZRK_DL.INI", kFolder + "ZRK.JNL", "another launcher's");
  machine.Run();
  EXPECT_EQ(machine.Settings(), BareFile());
  EXPECT_EQ(machine.os.fileBytes(kFolder + "ZRK.JNL"), "another launcher's");
  EXPECT_EQ(machine.os.startedProcesses().size(), 1u);
}

// The attributes that keep the plain write out are those of the file that would be written,
// behind any link: such a file is left alone, without waiting.
TEST(WriteSafety, FileBehindALinkThatThePlainWriteWouldRefuseIsLeftAlone) {
  const std::string target = "C:\\Sync\\DLTZRK_DL.INI";
  for (const std::uint32_t attributes : {kAttributeHidden, kAttributeSystem, kAttributeReadOnly}) {
    SCOPED_TRACE(attributes);
    Installation machine;
    machine.os.addFile(target, BareFile(), attributes | kAttributeArchive);
    machine.os.deleteFile(kSettings.c_str());
    machine.os.addSymbolicLink(kSettings, target);
    machine.Run();
    EXPECT_EQ(machine.os.fileBytes(target), BareFile());
    EXPECT_EQ(machine.os.callCount("GetTempFileNameA"), 0);
    EXPECT_TRUE(machine.os.pauses().empty());
    EXPECT_EQ(machine.os.startedProcesses().size(), 1u);
  }
}

}  // namespace
