// Every way a launch ends, on the simulated machine.
#include <gtest/gtest.h>

#include "support/LaunchCheck.h"

using namespace testing_support;

namespace {

TEST(LaunchSequence, NormalLaunchWritesKeyedSettingsAndStartsTheGame) {
  Installation machine;
  machine.os.setErrorMode(0x0004);  // a mode the launcher inherits: kept, not replaced
  EXPECT_EQ(machine.Run(), 0);

  auto& os = machine.os;
  EXPECT_TRUE(os.messageBoxes().empty());
  EXPECT_EQ(machine.Settings(), KeyedFile());
  ASSERT_EQ(os.startedProcesses().size(), 1u);
  const auto& game = os.startedProcesses()[0];
  EXPECT_EQ(game.application, kGame);
  EXPECT_EQ(game.commandLine, "ZRK_DL.exe");
  EXPECT_EQ(game.currentDirectory, kFolder);
  EXPECT_EQ(game.creationFlags, kNormalPriorityClass);
  // Nothing of the launcher's is open when the game starts: it opens its data file itself.
  EXPECT_TRUE(game.openFiles.empty()) << os.dump();
  EXPECT_EQ(os.currentDirectoryPath(), "C:\\Games\\X");
  // Drives without media must fail quietly from the very start.
  EXPECT_EQ(os.errorMode(), 0x0004 | kSemFailCriticalErrors | kSemNoOpenFileErrorBox);
  EXPECT_LT(os.callIndex("SetErrorMode"), os.callIndex("LoadLibrary"));
  // The game runs on unattached: thread handle closed before the wait, process handle after.
  const int closeThread = os.callIndex("CloseHandle thread");
  const int wait = os.callIndex("WaitForInputIdle");
  const int closeProcess = os.callIndex("CloseHandle process");
  EXPECT_TRUE(closeThread >= 0 && closeThread < wait && wait < closeProcess) << os.dump();
  EXPECT_EQ(os.calls()[wait], "WaitForInputIdle process | 0xFFFFFFFF") << "no time limit";
  // Every file is opened without sharing: the settings for reading, the data file for reading,
  // and a new file of a unique name beside the settings for writing, which is then renamed over
  // them.
  EXPECT_EQ(
      os.callCount("CreateFileA " + kSettings + " | access=0x80000000 share=0x0 disposition=3"), 1);
  EXPECT_EQ(os.callCount("CreateFileA " + kData + " | access=0x80000000 share=0x0 disposition=3"),
            1);
  EXPECT_EQ(os.callCount("GetTempFileNameA " + kFolder), 1);
  EXPECT_EQ(os.callCount("CreateFileA " + kFolder +
                         "Zrk1.TMP | access=0xC0000000 share=0x0 disposition=3"),
            1);
  EXPECT_EQ(os.callCount("MoveFileExA " + kFolder + "Zrk1.TMP " + kSettings), 1);
  // Order of the steps: probe, read, search, write, start.
  EXPECT_LT(os.callIndex("FreeLibrary"), os.callIndex("CreateFileA " + kSettings));
  EXPECT_LT(os.callIndex("CreateFileA " + kData), os.callIndex("MoveFileExA"));
  EXPECT_LT(os.callIndex("MoveFileExA"), os.callIndex("SetCurrentDirectoryA"));
  EXPECT_LT(os.callIndex("SetCurrentDirectoryA"), os.callIndex("CreateProcessA"));
  EXPECT_TRUE(os.openHandles().empty()) << os.dump();
}

// Every way a launch ends but the normal one: the one message and an end of the process at once, or
// by returning; or no message and the bare form written back when the game does not start.
TEST(LaunchSequence, EveryWayALaunchEnds) {
  struct Case {
    const char* name;
    void (*prepare)(SimulatedWindows&);
    Outcome outcome;
    bool endsAtOnce = false;
    std::uint32_t codePage = 932;
    std::string opened = "";  // the settings path the launcher tries, where it matters
  };
  const Case cases[] = {
      {"graphics runtime absent",
       [](SimulatedWindows& os) { os.addLibrary(kSystemLibrary, 0); },
       {BareFile(), kDirectXMessage, false},
       true},
      {"settings file missing",
       [](SimulatedWindows& os) { os.deleteFile(kSettings.c_str()); },
       {std::nullopt, kNotInstalledMessage, false}},
      {"data file found nowhere",
       [](SimulatedWindows& os) { os.deleteFile(kData.c_str()); },
       {BareFile(), kDamagedMessage, false},
       true},
      // Keyed first, then bare: two replacements of the settings file.
      {"game missing",
       [](SimulatedWindows& os) {
         os.addFile(kSettings, KeyedFile("D:\\Old\\", 'E'));
         os.deleteFile(kGame.c_str());
       },
       {BareFile(), {}, false}},
      {"game not a program",
       [](SimulatedWindows& os) {
         os.addFile(kSettings, KeyedFile("D:\\Old\\", 'E'));
         os.addExecutable(kGame, false);
       },
       {BareFile(), {}, false}},
      // GetCurrentDirectoryA answers "C:\??", and there is no short form to take instead.
      {"in a folder the code page cannot spell, without a short name",
       [](SimulatedWindows& os) {
         const std::string folder = "C:\\" + os.name(u"한글");
         os.addFile(folder + "\\DLTZRK_DL.INI", BareFile());
         os.setCurrentDirectoryPath(folder);
       },
       {BareFile(), kNotInstalledMessage, false},
       false,
       932,
       "C:\\??\\DLTZRK_DL.INI"},
      // Short names are made in the OEM code page (437 on a Western system, which has Γ), so code
      // page 1252 may not spell the short name either: "C:\?_____~1" is no better than the *A
      // call's answer "C:\G??????" (Γ as its look-alike), which stands.
      {"in a folder whose short name the code page cannot spell either",
       [](SimulatedWindows& os) {
         const std::string folder = "C:\\" + os.name(u"Γザルヴェーナ");
         os.addFile(folder + "\\DLTZRK_DL.INI", BareFile());
         os.setShortName(folder, os.name(u"Γ_____~1"));
         os.setCurrentDirectoryPath(folder);
       },
       {BareFile(), kNotInstalledMessage, false},
       false,
       1252,
       "C:\\G??????\\DLTZRK_DL.INI"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Layout layout;
    layout.codePage = c.codePage;
    Installation machine(layout);
    c.prepare(machine.os);
    ExpectLaunch(machine, c.outcome);
    const auto& calls = machine.os.calls();
    if (c.endsAtOnce) {
      EXPECT_EQ(machine.os.callIndex("exit 0"), static_cast<int>(calls.size()) - 1);
    } else {
      EXPECT_EQ(machine.os.callCount("exit"), 0) << "the sequence ends by returning";
    }
    if (!c.outcome.gameStarted && !c.outcome.message) {
      EXPECT_EQ(machine.os.callCount("MoveFileExA"), 2);
    }
    if (!c.opened.empty()) {
      EXPECT_EQ(machine.os.callCount("CreateFileA " + c.opened + " |"), 1) << machine.os.dump();
    }
  }
}

// The library is tried at once and then after each pause of 100 ms, 11 times in all: one that
// loads on any of them lets the launch go on; one that never does ends it before any file is
// touched. Where the system has the search flags, each try looks beside the launcher and in the
// system folder, then in the start-up folder by full path; elsewhere the system's own search.
TEST(LaunchSequence, GraphicsRuntimeIsTriedElevenTimes) {
  for (const bool searchFlags : {true, false}) {
    for (const int loadsAt : {1, 6, 11, 0}) {
      SCOPED_TRACE(std::to_string(loadsAt) + (searchFlags ? "" : ", no search flags"));
      Installation machine;
      if (!searchFlags) machine.os.removeLibrarySearchFlags();
      machine.os.addLibrary(kSystemLibrary, loadsAt);
      machine.Run();
      const bool loads = loadsAt != 0;
      const int tries = loads ? loadsAt : 11;
      EXPECT_EQ(machine.os.loadAttempts(kSystemLibrary), tries);
      const int inStartupFolder =
          machine.os.callCount("LoadLibraryExA " + kFolder + "d3dx9_40.dll | 0x900");
      if (searchFlags) {
        EXPECT_EQ(machine.os.callCount("LoadLibraryExA d3dx9_40.dll | 0xA00"), tries);
        EXPECT_EQ(inStartupFolder, tries - (loads ? 1 : 0));
      } else {
        EXPECT_EQ(machine.os.callCount("LoadLibraryA d3dx9_40.dll"), tries);
        EXPECT_EQ(machine.os.callCount("LoadLibraryExA"), 0);
      }
      EXPECT_EQ(machine.os.pauses(), std::vector<std::uint32_t>(tries - 1, 100));
      EXPECT_EQ(machine.os.freeCount(kSystemLibrary), loads ? 1 : 0);
      EXPECT_EQ(machine.os.messageBoxes().size(), loads ? 0u : 1u);
      EXPECT_EQ(machine.os.startedProcesses().size(), loads ? 1u : 0u);
      if (!loads) {
        EXPECT_EQ(machine.os.callCount("CreateFileA"), 0) << "no file may be touched";
      }
    }
  }
}

}  // namespace
