// The search for the data file over the drives, and how the game is started.
#include <gtest/gtest.h>

#include "support/LaunchCheck.h"

using namespace testing_support;

namespace {

const std::string kElsewhere = "\\Games\\X\\";  // the install folder's path without its drive

// Takes the data file out of C:\Games\X.
void RemoveLocalData(Installation& machine) {
  machine.os.deleteFile(kData.c_str());
}

TEST(DataFileSearch, FileInTheInstallFolderNeedsNoDriveProbe) {
  Installation machine;
  machine.Run();
  EXPECT_EQ(machine.os.callCount("GetDriveTypeA"), 0);
  EXPECT_EQ(machine.os.startedProcesses().at(0).currentDirectory, kFolder);
}

TEST(DataFileSearch, FileOnAnotherDriveMovesTheInstallFolderThere) {
  Installation machine;
  RemoveLocalData(machine);
  auto& os = machine.os;
  os.addDrive('A', kDriveRemovable, false);  // empty floppy: skipped quietly
  os.addDrive('D', kDriveCdrom);
  os.addFile("D:" + kElsewhere + "ZRK_DLN.SD", "data");  // optical drives are never searched
  os.addDrive('F', kDriveRemote);
  os.addFile("F:" + kElsewhere + "ZRK_DLN.SD", "data");  // nor network drives
  os.addDrive('G', kDriveFixed);
  os.addFile("G:" + kElsewhere + "ZRK_DLN.SD", "data");
  os.addDrive('H', kDriveFixed);
  os.addFile("H:" + kElsewhere + "ZRK_DLN.SD", "data");  // the lowest letter wins
  machine.Run();

  EXPECT_TRUE(os.messageBoxes().empty());
  const std::string moved = "G:" + kElsewhere;
  EXPECT_EQ(machine.Settings(), KeyedFile(moved));
  ASSERT_EQ(os.startedProcesses().size(), 1u);
  EXPECT_EQ(os.startedProcesses()[0].currentDirectory, moved);
  EXPECT_EQ(os.currentDirectoryPath(), "G:\\Games\\X");
  // A to G probed in order, the search stops at the hit.
  EXPECT_EQ(os.callCount("GetDriveTypeA"), 7);
  EXPECT_LT(os.callIndex("GetDriveTypeA A:\\"), os.callIndex("GetDriveTypeA G:\\"));
  EXPECT_EQ(os.callCount("GetDriveTypeA H:\\"), 0);
  for (const char* skipped : {"A:", "D:", "F:"}) {
    EXPECT_EQ(os.callCount(std::string("CreateFileA ") + skipped), 0) << skipped;
  }
}

TEST(DataFileSearch, RemovableDrivesAndTheLastLetterAreSearchedToo) {
  for (const auto& [letter, type] :
       {std::pair{'E', kDriveRemovable}, std::pair{'Z', kDriveFixed}}) {
    SCOPED_TRACE(letter);
    Installation machine;
    RemoveLocalData(machine);
    machine.os.addDrive(letter, type);
    machine.os.addFile(letter + (":" + kElsewhere) + "ZRK_DLN.SD", "data");
    machine.Run();
    EXPECT_EQ(machine.Settings(), KeyedFile(letter + (":" + kElsewhere)));
  }
}

// The drive that the install folder names is tried again in its turn: a first open that failed
// for a moment (a scanner holding the file) is not the end. A lower-case drive letter, as the
// current directory may have it, is searched by like any other.
TEST(DataFileSearch, TheInstallFoldersOwnDriveAndLowerCaseLettersAreSearched) {
  {
    Installation machine;
    machine.os.holdForNextCalls(kData, 1);
    machine.Run();
    EXPECT_TRUE(machine.os.messageBoxes().empty());
    EXPECT_EQ(machine.Settings(), KeyedFile());
    EXPECT_EQ(machine.os.callCount("GetDriveTypeA"), 3);  // A, B, then C again
  }
  {
    Installation machine;
    RemoveLocalData(machine);
    machine.os.addDrive('D', kDriveFixed);
    machine.os.setCurrentDirectoryPath("d:\\Games\\X");
    machine.os.addFile("d:\\Games\\X\\DLTZRK_DL.INI", BareFile());
    machine.os.addDrive('E', kDriveFixed);
    machine.os.addFile("E:" + kElsewhere + "ZRK_DLN.SD", "data");
    machine.Run();
    EXPECT_TRUE(machine.os.messageBoxes().empty());
    EXPECT_EQ(machine.os.fileBytes("D:\\Games\\X\\DLTZRK_DL.INI"), KeyedFile("E:" + kElsewhere));
  }
}

TEST(DataFileSearch, FileThatCannotBeOpenedIsNotFound) {
  struct Case {
    const char* name;
    void (*prepare)(SimulatedWindows&);
  };
  const Case cases[] = {
      {"only on an optical drive",
       [](SimulatedWindows& os) {
         os.addDrive('D', kDriveCdrom);
         os.addFile("D:" + kElsewhere + "ZRK_DLN.SD", "data");
       }},
      {"a folder of that name", [](SimulatedWindows& os) { os.addDirectory(kData); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Installation machine;
    RemoveLocalData(machine);
    c.prepare(machine.os);
    ExpectLaunch(machine, {BareFile(), kDamagedMessage, false});
  }
}

TEST(DataFileSearch, NetworkInstallFolderIsNeverPatchedWithDriveLetters) {
  const std::string share = "\\\\server\\share\\x\\";
  for (const bool dataThere : {true, false}) {
    SCOPED_TRACE(dataThere);
    Installation machine;
    auto& os = machine.os;
    os.addDirectory(share);
    os.setCurrentDirectoryPath("\\\\server\\share\\x");
    os.addFile(share + "DLTZRK_DL.INI", BareFile(share));
    if (dataThere) os.addFile(share + "ZRK_DLN.SD", "data");
    // Where "\\server\\..." with a drive letter patched over its first byte would lead.
    os.addFile(share + "C\\server\\share\\x\\ZRK_DLN.SD", "data");
    EXPECT_EQ(machine.Run(), 0);

    EXPECT_EQ(os.callCount("GetDriveTypeA"), 0);
    EXPECT_EQ(os.messageBoxes().size(), dataThere ? 0u : 1u);
    EXPECT_EQ(os.fileBytes(share + "DLTZRK_DL.INI"),
              dataThere ? KeyedFile(share) : BareFile(share));
    // A plain file on a share is one too: "\\?\UNC\server\share" is "\\server\share".
    EXPECT_EQ(os.callCount("MoveFileExA"), dataThere ? 1 : 0);
  }
}

TEST(GameStart, GameIsStartedByFullPathOnly) {
  const std::string launcherFolder = "C:\\Launcher\\";
  // A launcher path of 260 bytes, which GetModuleFileNameA cuts short to "C:\LLL...\ZRK_STA":
  // the folder it seems to name is not the launcher's.
  const std::string longFolder = "C:\\" + std::string(243, 'L') + "\\";
  // A launcher in a folder whose name code page 932 cannot spell: GetModuleFileNameA answers
  // "C:\??\ZRK_START.exe". Its short form names the folder, where the folder has one.
  const std::string unspelled = "C:\\" + Spelled(u"한글");
  struct Case {
    const char* name;
    std::string launcherFolder;
    bool besideLauncher, inInstallFolder;
    std::string expected;                // image started, or empty
    std::string launcherShortName = "";  // of the launcher's folder
  };
  const Case cases[] = {
      {"beside the launcher first", launcherFolder, true, true, launcherFolder + "ZRK_DL.exe"},
      {"then in the install folder", launcherFolder, false, true, kGame},
      {"never from the system folders or PATH", launcherFolder, false, false, ""},
      {"nothing is known beside a launcher whose path is cut short", longFolder, true, true, kGame},
      {"beside a launcher the code page cannot spell, by its short form", unspelled + "\\", true,
       true, unspelled + "\\ZRK_DL.exe", "HANGUL~1"},
      {"nothing is known beside it without a short form", unspelled + "\\", true, true, kGame},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Installation machine;
    auto& os = machine.os;
    os.setModuleFileName(c.launcherFolder + "ZRK_START.exe");
    if (c.besideLauncher) os.addExecutable(c.launcherFolder + "ZRK_DL.exe");
    if (!c.launcherShortName.empty()) {
      os.addExecutable(c.launcherFolder + "ZRK_START.exe");
      os.setShortName(c.launcherFolder, c.launcherShortName);
    }
    if (!c.inInstallFolder) os.deleteFile(kGame.c_str());
    os.addExecutable("C:\\Windows\\System32\\ZRK_DL.exe");
    os.addExecutable("C:\\Tools\\ZRK_DL.exe");
    os.setSearchPath({"C:\\Windows\\System32", "C:\\Tools"});
    machine.Run();

    if (c.expected.empty()) {
      EXPECT_TRUE(os.startedProcesses().empty());
      EXPECT_EQ(machine.Settings(), BareFile());
      continue;
    }
    ASSERT_EQ(os.startedProcesses().size(), 1u);
    EXPECT_EQ(os.startedProcesses()[0].image, c.expected);
    EXPECT_EQ(os.startedProcesses()[0].commandLine, "ZRK_DL.exe");
    EXPECT_EQ(os.startedProcesses()[0].currentDirectory, kFolder);
    EXPECT_EQ(machine.Settings(), KeyedFile());
  }
}

TEST(GameStart, LauncherNameEndingInADoubleByteBackslashStillFindsItsFolder) {
  Installation machine;
  machine.os.setModuleFileName("C:\\Launcher\\\x95\\.exe");  // the second byte of 0x95 0x5C
  machine.os.addExecutable("C:\\Launcher\\ZRK_DL.exe");
  machine.Run();
  ASSERT_EQ(machine.os.startedProcesses().size(), 1u);
  EXPECT_EQ(machine.os.startedProcesses()[0].image, "C:\\Launcher\\ZRK_DL.exe");
}

// The system's search stops at the first entry of the name: a copy beside the launcher that is
// no program, or a folder of that name, is the game, and it does not start. The install folder's
// copy is not tried in its place.
TEST(GameStart, AnythingOfTheGamesNameBesideTheLauncherIsTheOnlyCandidate) {
  for (const bool folder : {false, true}) {
    SCOPED_TRACE(folder ? "a folder" : "no program");
    Installation machine;
    machine.os.setModuleFileName("C:\\Launcher\\ZRK_START.exe");
    if (folder) {
      machine.os.addDirectory("C:\\Launcher\\ZRK_DL.exe");
    } else {
      machine.os.addExecutable("C:\\Launcher\\ZRK_DL.exe", false);
    }
    machine.Run();
    EXPECT_TRUE(machine.os.startedProcesses().empty());
    EXPECT_EQ(machine.os.callCount("CreateProcessA"), 1);
    EXPECT_EQ(machine.Settings(), BareFile());
  }
}

// On a Western Windows (code page 1252) é is a letter of its own, 0xE9, which code page 932
// would take for the first byte of a two-byte character hiding the backslash after it.
TEST(GameStart, LaunchersFolderIsFoundByTheSystemsCodePage) {
  for (const std::uint32_t codePage : {1252u, 932u}) {
    SCOPED_TRACE(codePage);
    Layout layout;
    layout.codePage = codePage;
    Installation machine(layout);  // started from C:\Games\X, another folder
    SimulatedWindows& os = machine.os;
    os.setModuleFileName("C:\\Games\\Caf\xE9\\ZRK_START.exe");
    os.addExecutable("C:\\Games\\Caf\xE9\\ZRK_DL.exe");
    os.addExecutable("C:\\Games\\ZRK_DL.exe");  // where a wrong separator would lead
    machine.Run();
    ASSERT_EQ(os.startedProcesses().size(), 1u);
    // In 932 "\xE9\\" is one character: the launcher's folder is then "C:\Games\".
    EXPECT_EQ(os.startedProcesses()[0].image,
              codePage == 1252 ? "C:\\Games\\Caf\xE9\\ZRK_DL.exe" : "C:\\Games\\ZRK_DL.exe");
  }
}

// What the launcher must not act on: the results of SetCurrentDirectoryA and WaitForInputIdle.
// The game is started and waited for all the same, its handles closed, the keyed form kept.
TEST(GameStart, DirectoryChangeAndWaitResultsAreIgnored) {
  struct Case {
    const char* name;
    void (*prepare)(SimulatedWindows&);
  };
  const Case cases[] = {
      {"the directory change fails", [](SimulatedWindows& os) { os.failChangeDirectory(); }},
      {"a console game, which cannot be waited for",
       [](SimulatedWindows& os) {
         os.addExecutable(kGame, SimulatedWindows::ProgramKind::console);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Installation machine;
    c.prepare(machine.os);
    EXPECT_EQ(machine.Run(), 0);
    ASSERT_EQ(machine.os.startedProcesses().size(), 1u);
    EXPECT_EQ(machine.os.startedProcesses()[0].currentDirectory, kFolder);
    EXPECT_EQ(machine.os.callCount("WaitForInputIdle"), 1);
    EXPECT_EQ(machine.Settings(), KeyedFile());
    EXPECT_TRUE(machine.os.messageBoxes().empty());
    EXPECT_TRUE(machine.os.openHandles().empty()) << machine.os.dump();
  }
}

}  // namespace
