// Every way a launch ends, on the simulated machine.
#include <gtest/gtest.h>

#include "app/Messages.h"
#include "support/Installation.h"

using namespace testing_support;

namespace {

void ExpectOneBox(const SimulatedWindows& os, const char* text, const char* caption) {
  ASSERT_EQ(os.messageBoxes().size(), 1u) << os.dump();
  const auto& box = os.messageBoxes()[0];
  EXPECT_EQ(box.text, text);
  EXPECT_EQ(box.caption, caption);
  EXPECT_EQ(box.owner, 0u);
  EXPECT_EQ(box.type, kMbOk);
}

// No temporary file and no open handle is left behind, not even at an immediate end of the
// process, which closes nothing before it is gone.
void ExpectClean(const SimulatedWindows& os) {
  EXPECT_TRUE(os.handlesOpenAtExit().empty()) << os.dump();
  for (const std::string& file : os.files()) {
    EXPECT_NE(file.substr(file.size() - 4), ".TMP") << os.dump();
  }
  EXPECT_TRUE(os.openHandles().empty()) << os.dump();
}

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
  EXPECT_LT(os.callIndex("SetErrorMode"), os.callIndex("LoadLibraryA"));
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
                         "ZRK1.TMP | access=0xC0000000 share=0x0 disposition=3"),
            1);
  EXPECT_EQ(os.callCount("MoveFileExA " + kFolder + "ZRK1.TMP " + kSettings), 1);
  // Order of the steps: probe, read, search, write, start.
  EXPECT_LT(os.callIndex("FreeLibrary"), os.callIndex("CreateFileA " + kSettings));
  EXPECT_LT(os.callIndex("CreateFileA " + kData), os.callIndex("MoveFileExA"));
  EXPECT_LT(os.callIndex("MoveFileExA"), os.callIndex("SetCurrentDirectoryA"));
  EXPECT_LT(os.callIndex("SetCurrentDirectoryA"), os.callIndex("CreateProcessA"));
  ExpectClean(os);
}

TEST(LaunchSequence, GraphicsRuntimeAbsentShowsTheDirectXMessageAfterTenPauses) {
  Installation machine;
  machine.os.addLibrary("d3dx9_40.dll", 0);
  EXPECT_EQ(machine.Run(), 0);

  auto& os = machine.os;
  ExpectOneBox(os, kDirectXText, kDirectXCaption);
  EXPECT_EQ(os.loadAttempts("d3dx9_40.dll"), 11);
  EXPECT_EQ(os.pauses(), std::vector<std::uint32_t>(10, 100));
  EXPECT_EQ(os.callIndex("exit 0"), static_cast<int>(os.calls().size()) - 1);
  EXPECT_EQ(os.callCount("CreateFileA"), 0) << "no file may be touched";
  ExpectClean(os);
  EXPECT_EQ(machine.Settings(), BareFile());
  EXPECT_TRUE(os.startedProcesses().empty());
}

TEST(LaunchSequence, GraphicsRuntimeThatLoadsLateLetsTheLaunchGoOn) {
  Installation machine;
  machine.os.addLibrary("d3dx9_40.dll", 6);
  EXPECT_EQ(machine.Run(), 0);

  EXPECT_EQ(machine.os.pauses(), std::vector<std::uint32_t>(5, 100));
  EXPECT_EQ(machine.os.loadAttempts("d3dx9_40.dll"), 6);
  EXPECT_EQ(machine.os.freeCount("d3dx9_40.dll"), 1);
  EXPECT_TRUE(machine.os.messageBoxes().empty());
  EXPECT_EQ(machine.os.startedProcesses().size(), 1u);
}

// Every way of not being able to read the settings file gives the not-installed message and
// writes nothing.
TEST(LaunchSequence, UnreadableSettingsShowTheNotInstalledMessage) {
  struct Case {
    const char* name;
    void (*prepare)(SimulatedWindows&);
    std::uint32_t codePage = 932;
    std::string opened = "";  // the settings path the launcher tries, where it matters
  };
  const Case cases[] = {
      {"missing", [](SimulatedWindows& os) { os.deleteFile(kSettings.c_str()); }},
      {"held by another program", [](SimulatedWindows& os) { os.holdOpen(kSettings); }},
      {"read error in line 30",
       [](SimulatedWindows& os) { os.failReadAt(kSettings, BareFile().find("v30")); }},
      {"read error at the first byte", [](SimulatedWindows& os) { os.failReadAt(kSettings, 0); }},
      // GetCurrentDirectoryA answers "C:\??", and there is no short form to take instead.
      {"in a folder the code page cannot spell, without a short name",
       [](SimulatedWindows& os) {
         const std::string folder = "C:\\" + os.name(u"한글");
         os.addFile(folder + "\\DLTZRK_DL.INI", BareFile());
         os.setCurrentDirectoryPath(folder);
       },
       932, "C:\\??\\DLTZRK_DL.INI"},
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
       1252, "C:\\G??????\\DLTZRK_DL.INI"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Layout layout;
    layout.codePage = c.codePage;
    Installation machine(layout);
    const bool existed = machine.os.hasFile(kSettings);
    c.prepare(machine.os);
    const std::vector<std::string> filesBefore = machine.os.files();
    EXPECT_EQ(machine.Run(), 0);

    ExpectOneBox(machine.os, kNotInstalledText, kNotInstalledCaption);
    EXPECT_EQ(machine.os.files(), filesBefore);
    if (existed && machine.os.hasFile(kSettings)) {
      EXPECT_EQ(machine.Settings(), BareFile());
    }
    EXPECT_TRUE(machine.os.startedProcesses().empty());
    EXPECT_EQ(machine.os.callCount("GetDriveTypeA"), 0);
    EXPECT_EQ(machine.os.callCount("exit"), 0) << "the sequence ends by returning";
    if (!c.opened.empty()) {
      EXPECT_EQ(machine.os.callCount("CreateFileA " + c.opened + " |"), 1) << machine.os.dump();
    }
  }
}

TEST(LaunchSequence, DataFileFoundNowhereShowsTheDamagedMessage) {
  Installation machine;
  machine.os.deleteFile(kData.c_str());
  EXPECT_EQ(machine.Run(), 0);

  ExpectOneBox(machine.os, kDamagedText, kDamagedCaption);
  EXPECT_EQ(machine.Settings(), BareFile()) << "read, never written";
  EXPECT_TRUE(machine.os.startedProcesses().empty());
  EXPECT_EQ(machine.os.callIndex("exit 0"), static_cast<int>(machine.os.calls().size()) - 1);
  ExpectClean(machine.os);
}

TEST(LaunchSequence, GameThatCannotStartLeavesTheBareForm) {
  struct Case {
    const char* name;
    void (*prepare)(SimulatedWindows&);
  };
  const Case cases[] = {
      {"game missing", [](SimulatedWindows& os) { os.deleteFile(kGame.c_str()); }},
      {"game not a program", [](SimulatedWindows& os) { os.addExecutable(kGame, false); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Installation machine;
    machine.os.addFile(kSettings, KeyedFile("D:\\Old\\", 'E'));
    c.prepare(machine.os);
    EXPECT_EQ(machine.Run(), 0);

    EXPECT_TRUE(machine.os.messageBoxes().empty());
    EXPECT_TRUE(machine.os.startedProcesses().empty());
    // Keyed first, then bare: two replacements of the settings file.
    EXPECT_EQ(machine.os.callCount("MoveFileExA"), 2);
    EXPECT_EQ(machine.Settings(), BareFile());
    ExpectClean(machine.os);
  }
}

}  // namespace
