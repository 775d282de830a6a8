// The settings file through a whole launch: what is read, how FOLDER is reconciled, and the bytes
// written back in the keyed and the bare form.
#include <gtest/gtest.h>

#include <algorithm>

#include "support/Installation.h"

using namespace testing_support;

namespace {

std::string Repeat(char c, std::size_t n) {
  return std::string(n, c);
}

TEST(SettingsFormat, KeyTableLengthsMatchTheirKeys) {
  EXPECT_EQ(SettingsKeyTable::kLengths[0], 0u);
  for (int n = 1; n < kSettingsLineCount; ++n) {
    SCOPED_TRACE(n);
    EXPECT_EQ(SettingsKeyTable::kLengths[n], std::string(SettingsKeyTable::kKeys[n]).size());
    EXPECT_EQ(SettingsKeyTable::kKeys[n][SettingsKeyTable::kLengths[n] - 1], '=');
    EXPECT_LE(SettingsKeyTable::kLengths[n], kMaxKeyLength);
  }
  for (int n = 0; n < kSettingsLineCount; ++n) {
    EXPECT_EQ(SettingsKeyTable::kKeys[n], kKeys[n]) << "line " << n;
  }
}

TEST(SettingsFile, KeyedFileComesBackUnchangedButForFolderAndDrive) {
  Installation machine;
  std::vector<std::string> values = Values("D:\\Elsewhere\\");
  values[0] = "\x81\x9A header with ; and = \n";
  values[7] = "value with spaces and \x82\xA0\n";
  machine.os.addFile(kSettings, OnDisk(Keyed(values, 'Q')));
  machine.Run();

  values[1] = kFolder + "\n";
  EXPECT_EQ(machine.Settings(), OnDisk(Keyed(values)));
}

TEST(SettingsFile, FolderIsReconciledWithTheStartupDirectory) {
  struct Case {
    const char* name;
    std::string fileFolder;      // FOLDER value in the file (keyed form)
    std::string startedIn;       // current directory at start
    std::string written;         // FOLDER value written
    std::string shortName = "";  // of the start-up folder, when it has one
    std::uint32_t codePage = 932;
    // Rewritten in place, not through a new file and a rename: the system resolves the short form
    // the settings file was opened by to the long name.
    bool inPlace = false;
  };
  const Case cases[] = {
      {"same folder", "D:\\Games\\X\\", "D:\\Games\\X", "D:\\Games\\X\\"},
      {"case differs", "d:\\games\\x\\", "D:\\Games\\X", "D:\\Games\\X\\"},
      {"empty", "", "D:\\Games\\X", "D:\\Games\\X\\"},
      {"relative", "Games\\X\\", "D:\\Games\\X", "D:\\Games\\X\\"},
      // At a drive root the appended backslash doubles the one already there.
      {"drive root", "E:\\", "E:\\", "E:\\\\"},
      // Only the LF ends the value: a CR before it makes the value differ.
      {"a CR before the line break", "D:\\Games\\X\\\r", "D:\\Games\\X", "D:\\Games\\X\\"},
      // A name the code page cannot spell comes back from GetCurrentDirectoryA with '?' (Hangul in
      // 932) or with a look-alike (Ł and ź as L and z in 1252, "D:\Lódz"): its short form is used.
      {"a folder the code page cannot spell", "D:\\Games\\X\\", "D:\\" + Spelled(u"한글"),
       "D:\\HANGUL~1\\", "HANGUL~1", 932, true},
      {"a letter with a best fit", "", "D:\\" + Spelled(u"Łódź", 1252), "D:\\DZ~1\\", "DZ~1", 1252,
       true},
      // A folder the code page spells keeps its long name, short name or not.
      {"a folder the code page spells, with a short name", "", "D:\\Program Files",
       "D:\\Program Files\\", "PROGRA~1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Layout layout;
    layout.codePage = c.codePage;
    Installation machine(layout);
    const std::string folder = c.startedIn.back() == '\\' ? c.startedIn : c.startedIn + "\\";
    machine.os.addDrive(c.startedIn[0], kDriveFixed);
    machine.os.addDirectory(folder);
    if (!c.shortName.empty()) machine.os.setShortName(c.startedIn, c.shortName);
    machine.os.setCurrentDirectoryPath(c.startedIn);
    machine.os.addFile(folder + "DLTZRK_DL.INI", KeyedFile(c.fileFolder));
    machine.os.addFile(folder + "ZRK_DLN.SD", "data");
    machine.os.addExecutable(folder + "ZRK_DL.exe");
    machine.Run();

    EXPECT_EQ(machine.os.fileBytes(folder + "DLTZRK_DL.INI"), KeyedFile(c.written))
        << machine.os.dump();
    ASSERT_EQ(machine.os.startedProcesses().size(), 1u);
    EXPECT_EQ(machine.os.startedProcesses()[0].currentDirectory, c.written);
    EXPECT_EQ(machine.os.callCount("MoveFileExA"), c.inPlace ? 0 : 1);
  }
}

TEST(SettingsFile, FolderThatAlreadyMatchesIsKeptAsRead) {
  // Without its LF the matching value stays as it was, and the next key joins its line.
  Installation machine;
  machine.os.addFile(kSettings, "h\r\nFOLDER=C:\\Games\\X\\");
  machine.Run();
  EXPECT_EQ(machine.Settings().substr(0, 35), "h\r\nFOLDER=C:\\Games\\X\\OPTION=\r\nCG=\r\n");
}

TEST(SettingsFile, LineOneDecidesTheForm) {
  // Line 1 not beginning with "FOLDER=" exactly: every line is a whole value, and the keyed write
  // puts each key in front of the whole line.
  for (const std::string& line1 : {std::string("folder=C:\\Games\\X\\"), std::string(" FOLDER=x"),
                                   std::string("FOLDERX=C:\\Games\\X\\")}) {
    SCOPED_TRACE(line1);
    Installation machine;
    std::vector<std::string> values = Values();
    values[2] = "OPTION=1\n";
    values[1] = line1 + "\n";
    machine.os.addFile(kSettings, OnDisk(values));
    machine.Run();

    values[1] = kFolder + "\n";
    EXPECT_EQ(machine.Settings(), OnDisk(Keyed(values)));
  }
}

TEST(SettingsFile, KeysAreStrippedByLengthWithoutBeingCompared) {
  Installation machine;
  std::vector<std::string> lines = Keyed(Values());
  lines[2] = "OPTOIN=1\n";  // misspelt, same length
  lines[3] = "SND=2\n";     // another line's key, one byte longer than "CG="
  lines[8] = "B\n";         // shorter than its key "BG="
  lines[14] = "SPEED=\n";   // key only
  lines[4] = "MUS\n";       // as long as its key "MUS=" only with the LF
  // A NUL byte among the key's bytes: the length read decides, not the string's.
  lines[5] = std::string("SN\0=7\n", 6);     // "SND=" is 4 bytes: "7\n" is left
  lines[6] = std::string("VOICE\0=9\n", 9);  // "VOICE1=" is 7 bytes: "9\n" is left
  lines[13] = std::string("SE\0\n", 4);      // "SE=" is 3 bytes: the LF is left
  lines.pop_back();
  machine.os.addFile(kSettings, OnDisk(lines));
  machine.Run();

  std::vector<std::string> expected = Values();
  expected[2] = "1\n";
  expected[3] = "=2\n";
  expected[8] = "\n";
  expected[13] = "\n";
  expected[14] = "\n";
  expected[4] = "\n";
  expected[5] = "7\n";
  expected[6] = "9\n";
  EXPECT_EQ(machine.Settings(), OnDisk(Keyed(expected)));
}

// The last line of a short keyed file, without a line break: shorter than its key, nothing of it
// is left, not even a line break, and the next key joins its line.
TEST(SettingsFile, ShortLastLineWithoutLineBreakLeavesNothing) {
  Installation machine;
  machine.os.addFile(kSettings, "header\r\nFOLDER=C:\\Games\\X\\\r\nOPTION=1\r\nCG");
  machine.Run();

  std::vector<std::string> values{"header\n", kFolder + "\n", "1\n", ""};
  for (int n = 4; n < kSettingsLineCount; ++n) values.push_back("\n");
  EXPECT_EQ(machine.Settings(), OnDisk(Keyed(values)));
  EXPECT_NE(machine.Settings().find("\r\nCG=MUS=\r\n"), std::string::npos);
}

TEST(SettingsFile, LineEndsOnDiskAreNormalisedToCrLf) {
  const std::vector<std::string> values = Values();
  std::string lfOnly, crCrLf;
  for (const std::string& line : Keyed(values)) lfOnly += line;
  for (int n = 0; n < kSettingsLineCount; ++n) {
    std::string line = Keyed(values)[n];
    line.insert(line.size() - 1, n == 5 ? "\r\r" : "\r");
    crCrLf += line;
  }
  {
    Installation machine;
    machine.os.addFile(kSettings, lfOnly);
    machine.Run();
    EXPECT_EQ(machine.Settings(), KeyedFile());
  }
  {
    // CR CR LF reads as CR LF: the extra CR is part of the value and is written back.
    Installation machine;
    machine.os.addFile(kSettings, crCrLf);
    machine.Run();
    std::vector<std::string> expected = values;
    expected[5] = ValueOf(5) + "\r\n";
    EXPECT_EQ(machine.Settings(), OnDisk(Keyed(expected)));
  }
}

TEST(SettingsFile, LongLinesAreSplitAcrossSlotsAndWrittenWhole) {
  Installation machine;
  std::vector<std::string> values = Values();
  values[28] = Repeat('a', 258) + "\n";  // fits its slot whole with its LF
  values[29] = Repeat('b', 300) + "\n";  // 259 bytes, then the rest takes the next slot
  machine.os.addFile(kSettings, OnDisk(values));
  machine.Run();

  std::vector<std::string> held(values.begin(), values.begin() + 29);
  held.push_back(Repeat('b', 259));
  held.push_back(Repeat('b', 41) + "\n");
  for (int n = 30; n < kSettingsLineCount - 1; ++n) held.push_back(values[n]);
  held[1] = kFolder + "\n";
  // Key and value together exceed 260 bytes: written whole, never cut.
  const std::string written = machine.Settings();
  EXPECT_EQ(written, OnDisk(Keyed(held)));
  EXPECT_NE(written.find("MCOLOR=" + Repeat('a', 258) + "\r\n"), std::string::npos);
}

TEST(SettingsFile, MissingLinesAreWrittenAsEmptyLines) {
  Installation machine;
  std::vector<std::string> values = Values();
  values.resize(10);
  machine.os.addFile(kSettings, OnDisk(values));
  machine.os.deleteFile(kGame.c_str());  // so that the bare form is written last
  machine.Run();

  for (int n = 10; n < kSettingsLineCount; ++n) values.push_back("\n");
  EXPECT_EQ(machine.Settings(), OnDisk(values));
  EXPECT_EQ(machine.os.callCount("MoveFileExA " + kFolder + "ZRK"), 2);
}

TEST(SettingsFile, MissingLinesInTheKeyedFormGetTheirKeys) {
  Installation machine;
  machine.os.addFile(kSettings, "header\r\nFOLDER=C:\\Games\\X\\\r\nOPTION=1");
  machine.Run();

  std::vector<std::string> values{"header\n", kFolder + "\n", "1"};
  for (int n = 3; n < kSettingsLineCount; ++n) values.push_back("\n");
  EXPECT_EQ(machine.Settings(), OnDisk(Keyed(values)));
}

TEST(SettingsFile, EndOfFileMarkerEndsTheSettings) {
  Installation machine;
  std::vector<std::string> values = Values();
  values[10] =
      "ab\x1A"
      "cd\n";
  machine.os.addFile(kSettings, OnDisk(values));
  machine.Run();

  values.resize(10);
  values.push_back("ab");
  for (int n = 11; n < kSettingsLineCount; ++n) values.push_back("\n");
  EXPECT_EQ(machine.Settings(), OnDisk(Keyed(values)));
}

TEST(SettingsFile, LastValueWithoutLineBreakJoinsTheClosingLine) {
  Installation machine;
  std::string file = KeyedFile();
  file.resize(file.find("CD-ROM=") - 2);  // drop the closing line and the last CR LF
  machine.os.addFile(kSettings, file);
  machine.Run();

  const std::string written = machine.Settings();
  EXPECT_EQ(written.substr(written.size() - 24), "VOLUMEC03=v59CD-ROM=C:\r\n");
}

}  // namespace
