// The settings file through a whole launch: what is read, how FOLDER is reconciled, and the bytes
// written back in the keyed and the bare form.
#include <gtest/gtest.h>

#include <random>
#include <utility>
#include <vector>

#include "settings/SettingsFile.h"
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

// `lines` with the lines at the given numbers replaced.
std::vector<std::string> Changed(std::vector<std::string> lines,
                                 const std::vector<std::pair<int, std::string>>& changes) {
  for (const auto& [n, line] : changes) lines[n] = line;
  return lines;
}

// The first lines as given, then empty lines up to line 59: a file that ends early.
std::vector<std::string> Padded(std::vector<std::string> lines) {
  lines.resize(kSettingsLineCount, "\n");
  return lines;
}

// A launch on each settings file writes back the keyed form of the lines it held: keys stripped by
// their length, FOLDER made the start-up directory, line ends as text mode reads and writes them.
TEST(SettingsFile, WhatIsReadIsWrittenBackInTheKeyedForm) {
  const std::vector<std::string> values = Values();
  const std::string folderLine = kFolder + "\n";
  std::string lfOnly;
  std::string crCrLf;
  for (int n = 0; n < kSettingsLineCount; ++n) {
    const std::string line = Keyed(values)[n];
    lfOnly += line;
    crCrLf += line.substr(0, line.size() - 1) + (n == 5 ? "\r\r\n" : "\r\n");
  }
  // Read by length, not compared: misspelt, another line's, shorter than the key, the key only,
  // as long as the key only with the LF, and a NUL byte among the key's bytes (the length read
  // decides, not the string's).
  std::vector<std::string> oddKeys = Changed(Keyed(values), {{2, "OPTOIN=1\n"},
                                                             {3, "SND=2\n"},
                                                             {8, "B\n"},
                                                             {14, "SPEED=\n"},
                                                             {4, "MUS\n"},
                                                             {5, std::string("SN\0=7\n", 6)},
                                                             {6, std::string("VOICE\0=9\n", 9)},
                                                             {13, std::string("SE\0\n", 4)}});
  oddKeys.pop_back();
  std::string unterminated = KeyedFile();
  unterminated.resize(unterminated.find("CD-ROM=") - 2);  // no closing line, no last CR LF
  const std::vector<std::string> elsewhere =
      Changed(Values("D:\\Elsewhere\\"),
              {{0, "\x81\x9A header with ; and = \n"}, {7, "value with spaces and \x82\xA0\n"}});
  const std::vector<std::string> withOption = Changed(values, {{2, "OPTION=1\n"}});
  auto lineOne = [&](const std::string& line) { return OnDisk(Changed(withOption, {{1, line}})); };
  struct Case {
    const char* name;
    std::string disk;
    std::vector<std::string> held;  // the values written back behind their keys
  };
  const Case cases[] = {
      {"a keyed file, but for FOLDER and the drive", OnDisk(Keyed(elsewhere, 'Q')),
       Changed(elsewhere, {{1, folderLine}})},
      // Line 1 not beginning with "FOLDER=" exactly: every line is a whole value.
      {"folder= in lower case", lineOne("folder=x\n"), withOption},
      {"a space before FOLDER=", lineOne(" FOLDER=x\n"), withOption},
      {"FOLDERX=", lineOne("FOLDERX=x\n"), withOption},
      {"keys stripped by length", OnDisk(oddKeys),
       Changed(values, {{2, "1\n"},
                        {3, "=2\n"},
                        {8, "\n"},
                        {13, "\n"},
                        {14, "\n"},
                        {4, "\n"},
                        {5, "7\n"},
                        {6, "9\n"}})},
      // Without its LF the matching value stays as it was, and the next key joins its line.
      {"a matching FOLDER without its LF", "h\r\nFOLDER=" + kFolder, Padded({"h\n", kFolder})},
      // Shorter than its key: nothing is left, not even a line break.
      {"a short last line without a line break",
       "header\r\nFOLDER=" + kFolder + "\r\nOPTION=1\r\nCG",
       Padded({"header\n", folderLine, "1\n", ""})},
      {"a keyed file that ends early", "header\r\nFOLDER=" + kFolder + "\r\nOPTION=1",
       Padded({"header\n", folderLine, "1"})},
      {"a last value without a line break", unterminated, Changed(values, {{59, "v59"}})},
      {"LF only", lfOnly, values},
      // CR CR LF reads as CR LF: the extra CR is part of the value and is written back.
      {"CR CR LF", crCrLf, Changed(values, {{5, ValueOf(5) + "\r\n"}})},
      // 259 bytes, then the rest takes the next slot; key and value together exceed 260 bytes and
      // are written whole, never cut.
      {"long lines",
       OnDisk(Changed(values, {{28, Repeat('a', 258) + "\n"}, {29, Repeat('b', 300) + "\n"}})),
       [&] {
         std::vector<std::string> held = Changed(values, {{28, Repeat('a', 258) + "\n"}});
         held.insert(held.begin() + 29, Repeat('b', 259));
         held[30] = Repeat('b', 41) + "\n";
         held.pop_back();
         return held;
       }()},
      {"an end-of-file marker in line 10",
       OnDisk(Changed(values, {{10, std::string("ab\x1A"
                                                "cd\n")}})),
       [&] {
         std::vector<std::string> held(values.begin(), values.begin() + 10);
         held.push_back("ab");
         return Padded(held);
       }()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Installation machine;
    machine.os.addFile(kSettings, c.disk);
    machine.Run();
    EXPECT_EQ(machine.Settings(), OnDisk(Keyed(c.held)));
  }
}

TEST(SettingsFile, FolderIsReconciledWithTheStartupDirectory) {
  struct Case {
    const char* name;
    std::string fileFolder;      // FOLDER value in the file (keyed form)
    std::string startedIn;       // current directory at start
    std::string written;         // FOLDER value written
    std::string shortName = "";  // of the start-up folder, when it has one
    std::uint32_t codePage = 932;
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
       "D:\\HANGUL~1\\", "HANGUL~1", 932},
      {"a letter with a best fit", "", "D:\\" + Spelled(u"Łódź", 1252), "D:\\DZ~1\\", "DZ~1", 1252},
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
    // Through a new file and a rename, a folder reached by its short name too.
    EXPECT_EQ(machine.os.callCount("MoveFileExA"), 1);
  }
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
  EXPECT_EQ(machine.os.callCount("MoveFileExA " + kFolder + "Zrk"), 2);
}

// The start takes a new file that a cut left for the settings only where it holds what a write
// makes: the keyed form of any lines a file can leave held (random files, read and written as the
// settings model says), and the bare form where reading and writing it again gives the same bytes
// (a bare file, not a keyed one). Nothing less:
// none of them cut short after a line break, none with an LF that text mode would have written
// with a CR, none with a NUL.
TEST(SettingsFile, WholeImagesAreWhatTheWritesMakeAndNothingLess) {
  namespace model = settings_model;
  std::mt19937 random(33);
  auto whole = [](const std::string& image) {
    return IsWholeSettingsImage(image.data(), image.size());
  };
  int bare = 0;
  for (int file = 0; file < 300; ++file) {
    // 50 to 70 lines, long ones, lone CRs, NULs, the last one with or without its line break.
    std::string disk;
    const int lines = 50 + static_cast<int>(random() % 21);
    const unsigned nul = file % 4 == 0 ? 0 : 99;  // the byte that is a NUL, in a quarter of them
    for (int n = 0; n < lines; ++n) {
      std::string line = n == 1 && random() % 2 == 0 ? kKeys[1] : "";
      const std::size_t length = random() % 8 == 0 ? random() % 600 : random() % 30;
      for (std::size_t i = 0; i < length; ++i) {
        const unsigned byte = random() % 64;
        line += byte == nul ? '\0' : byte == 1 ? '\r' : static_cast<char>('!' + random() % 90);
      }
      disk += line + (n + 1 < lines || random() % 2 == 0 ? "\r\n" : "");
    }
    model::Lines held = model::Read(disk).lines;
    if (model::IsKeyed(held)) model::Strip(held);
    model::CutAtNul(held);
    model::Reconcile(held, kFolder);
    const model::Lines reread = model::Read(model::BareFile(held)).lines;
    const bool bareWhole =
        model::BareFile(reread) == model::BareFile(held) && !model::IsKeyed(reread);
    bare += bareWhole ? 1 : 0;
    for (const auto& [image, taken] :
         {std::pair(model::KeyedFile(held), true), std::pair(model::BareFile(held), bareWhole)}) {
      SCOPED_TRACE(testing::PrintToString(image));
      EXPECT_EQ(whole(image), taken);
      if (!taken) continue;
      for (std::size_t lf = 0; (lf = image.find('\n', lf) + 1) < image.size() && lf != 0;) {
        EXPECT_FALSE(whole(image.substr(0, lf))) << "cut after byte " << lf;
      }
      std::string changed = image;
      changed[image.rfind("\r\n")] = ' ';
      EXPECT_FALSE(whole(changed)) << "an LF without its CR";
      changed = image;
      changed[random() % image.size()] = '\0';
      EXPECT_FALSE(whole(changed)) << "a NUL";
    }
  }
  // Keyed settings whose line 0 is long and held without its LF (a NUL cut it) read as sixty bare
  // lines once cut short before the closing line: still cut short.
  model::Lines held;
  held[0] = std::string(250, 'h');
  held[1] = kFolder + "\n";
  for (int n = 2; n < kSettingsLineCount; ++n) held[n] = ValueOf(n) + "\n";
  const std::string keyed = model::KeyedFile(held);
  EXPECT_TRUE(whole(keyed));
  EXPECT_FALSE(whole(keyed.substr(0, keyed.size() - std::string("CD-ROM=C:\r\n").size())));
  EXPECT_GT(bare, 50);  // bare forms taken and not taken came up
  EXPECT_LT(bare, 250);
}

}  // namespace
