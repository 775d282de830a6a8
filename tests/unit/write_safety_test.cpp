// The player's settings survive every failure of the write-back, and no path ever overruns its
// buffer.
#include <gtest/gtest.h>

#include <algorithm>

#include "Installation.h"
#include "app/LaunchRecord.h"
#include "app/Messages.h"
#include "locate/DataFileLocator.h"
#include "settings/SettingsFile.h"

using namespace testing_support;

namespace {

const std::string kTemp = kFolder + "DLTZRK_DL.TMP";

// Runs a launch with `fault` injected and checks that the settings file is exactly as it was,
// that nothing is left behind, and that the game was started all the same without a message.
void ExpectSettingsKept(const char* name, void (*fault)(SimulatedWindows&)) {
  SCOPED_TRACE(name);
  Installation machine;
  fault(machine.os);
  EXPECT_EQ(machine.Run(), 0);
  EXPECT_EQ(machine.Settings(), BareFile()) << machine.os.dump();
  EXPECT_FALSE(machine.os.hasFile(kTemp));
  EXPECT_TRUE(machine.os.messageBoxes().empty());
  EXPECT_EQ(machine.os.startedProcesses().size(), 1u);
  EXPECT_TRUE(machine.os.openHandles().empty()) << machine.os.dump();
}

TEST(WriteSafety, FailedWritesLeaveTheSettingsFileAsItWas) {
  ExpectSettingsKept("disk full at once", [](SimulatedWindows& os) { os.failWritesAfter(0); });
  ExpectSettingsKept("disk full after one byte",
                     [](SimulatedWindows& os) { os.failWritesAfter(1); });
  ExpectSettingsKept("disk full one byte short",
                     [](SimulatedWindows& os) { os.failWritesAfter(KeyedFile().size() - 1); });
  ExpectSettingsKept("failed flush", [](SimulatedWindows& os) { os.failFlush(); });
  ExpectSettingsKept("failed close", [](SimulatedWindows& os) { os.failCloseOf(kTemp); });
  ExpectSettingsKept("failed replace", [](SimulatedWindows& os) { os.failReplaceInto(kSettings); });
}

// Windows refuses to empty such a file; the launcher does not even try to replace it (Wine as
// root would let the replacement through).
void ExpectNoReplacementTried(const char* name, std::uint32_t attributes) {
  SCOPED_TRACE(name);
  Installation machine;
  machine.os.setAttributes(kSettings, attributes);
  machine.Run();
  EXPECT_EQ(machine.os.callCount("CreateFileA " + kTemp), 0);
  EXPECT_EQ(machine.os.callCount("MoveFileExA"), 0);
}

TEST(WriteSafety, SettingsThatWindowsWouldNotLetUsRewriteAreLeftAlone) {
  ExpectNoReplacementTried("read-only", kAttributeReadOnly);
  ExpectNoReplacementTried("hidden", kAttributeHidden);
  ExpectNoReplacementTried("system", kAttributeSystem);
  ExpectSettingsKept("read-only", [](SimulatedWindows& os) {
    os.setAttributes(kSettings, kAttributeReadOnly | kAttributeArchive);
  });
  ExpectSettingsKept("hidden", [](SimulatedWindows& os) {
    os.setAttributes(kSettings, kAttributeHidden | kAttributeArchive);
  });
  ExpectSettingsKept("system", [](SimulatedWindows& os) {
    os.setAttributes(kSettings, kAttributeSystem | kAttributeArchive);
  });
}

TEST(WriteSafety, ExactlyEnoughRoomIsEnough) {
  Installation machine;
  machine.os.failWritesAfter(KeyedFile().size());
  machine.Run();
  EXPECT_EQ(machine.Settings(), KeyedFile());
}

TEST(WriteSafety, SettingsHeldOpenAtWriteTimeAreLeftAlone) {
  Installation machine;
  LaunchRecord record(machine.os);
  ASSERT_TRUE(LoadSettings(record));
  LocateDataFile(record);
  machine.os.holdOpen(kSettings);
  EXPECT_FALSE(WriteKeyedSettings(record));
  EXPECT_FALSE(WriteBareSettings(record));
  EXPECT_EQ(machine.os.callCount("CreateFileA " + kTemp), 0);
  machine.os.release(kSettings);
  EXPECT_EQ(machine.Settings(), BareFile());
  EXPECT_FALSE(machine.os.hasFile(kTemp));
  // Once free again, both forms are written whole.
  EXPECT_TRUE(WriteKeyedSettings(record));
  EXPECT_EQ(machine.Settings(), KeyedFile());
  EXPECT_TRUE(WriteBareSettings(record));
  EXPECT_EQ(machine.Settings(), BareFile());
}

TEST(WriteSafety, SettingsFileGoneBeforeTheWriteIsCreatedAnew) {
  Installation machine;
  LaunchRecord record(machine.os);
  ASSERT_TRUE(LoadSettings(record));
  machine.os.deleteFile(kSettings.c_str());
  EXPECT_TRUE(WriteKeyedSettings(record));
  EXPECT_EQ(machine.Settings(), KeyedFile());
}

TEST(WriteSafety, StaleTemporaryFileIsReplaced) {
  for (const std::uint32_t attributes : {kAttributeArchive, kAttributeHidden, kAttributeSystem}) {
    SCOPED_TRACE(attributes);
    Installation machine;
    machine.os.addFile(kTemp, std::string(10000, 'x'), attributes);
    machine.Run();
    EXPECT_EQ(machine.Settings(), KeyedFile());
    EXPECT_FALSE(machine.os.hasFile(kTemp));
  }
}

TEST(WriteSafety, SettingsHandleThatWillNotCloseAfterReadingCostsNothing) {
  Installation machine;
  machine.os.failCloseOf(kSettings);
  EXPECT_EQ(machine.Run(), 0);
  EXPECT_TRUE(machine.os.messageBoxes().empty());
  EXPECT_EQ(machine.Settings(), KeyedFile());
  EXPECT_EQ(machine.os.startedProcesses().size(), 1u);
}

// A directory path of exactly `length` bytes: "C:\ddd...\ddd", or the root "C:\".
std::string DirectoryOfLength(std::size_t length) {
  std::string dir = "C:";
  while (dir.size() < length) {
    dir += '\\';
    dir += std::string(std::min<std::size_t>(length - dir.size(), 100), 'd');
  }
  return dir;
}

// The start-up directory plus a backslash plus "DLTZRK_DL.INI" must fit a 259-byte path: a
// directory of 245 bytes is the longest that does.
TEST(PathLimits, StartupDirectoryTooLongForTheSettingsPathIsNotInstalled) {
  for (const std::size_t length : {3u, 200u, 244u, 245u, 246u, 247u, 258u, 259u, 300u}) {
    SCOPED_TRACE(length);
    Installation machine;
    const std::string dir = DirectoryOfLength(length);
    const std::string folder = dir.back() == '\\' ? dir : dir + "\\";
    machine.os.addDirectory(folder);
    machine.os.setCurrentDirectoryPath(dir);
    machine.os.addFile(folder + "DLTZRK_DL.INI", BareFile("x"));
    machine.os.addFile(folder + "ZRK_DLN.SD", "data");
    EXPECT_EQ(machine.Run(), 0);

    const std::string startup = dir + "\\";
    if (startup.size() + 13 <= 259) {
      EXPECT_TRUE(machine.os.messageBoxes().empty()) << machine.os.dump();
      EXPECT_EQ(machine.os.fileBytes(folder + "DLTZRK_DL.INI"), KeyedFile(startup));
    } else {
      ASSERT_EQ(machine.os.messageBoxes().size(), 1u);
      EXPECT_EQ(machine.os.messageBoxes()[0].text, kNotInstalledText);
      EXPECT_EQ(machine.os.fileBytes(folder + "DLTZRK_DL.INI"), BareFile("x"));
    }
  }
}

}  // namespace
