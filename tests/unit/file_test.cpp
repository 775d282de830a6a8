// CFile and CStdioFile: the opens and their refusals, and text mode byte for byte.
#include "platform/File.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "simulated/SimulatedWindows.h"

namespace {

constexpr unsigned kReadText = CFile::typeText | CFile::shareExclusive;
constexpr unsigned kWriteText =
    CFile::typeText | CFile::modeCreate | CFile::shareExclusive | CFile::modeWrite;  // refused
constexpr unsigned kReadBinary = CFile::modeRead;
constexpr unsigned kLineSize = kMaxPath;  // a line read of the settings file

const std::string kPath = "C:\\Games\\X\\DLTZRK_DL.INI";

class FileTest : public ::testing::Test {
 protected:
  FileTest() { os.addDirectory("C:\\Games\\X"); }

  // Every line a 260-byte read delivers from a file holding `disk`.
  std::vector<std::string> ReadLines(const std::string& disk) {
    os.addFile(kPath, disk);
    CStdioFile file(os);
    EXPECT_TRUE(file.Open(kPath.c_str(), kReadText));
    std::vector<std::string> lines;
    char line[kLineSize];
    while (file.ReadString(line, kLineSize) != nullptr) lines.push_back(line);
    file.Close();
    return lines;
  }

  SimulatedWindows os;
};

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line;
  return text;
}

// --- Reading -------------------------------------------------------------------------------------

TEST_F(FileTest, TextReadingTranslatesLineEndsAndStopsAtEndOfText) {
  struct Case {
    const char* name;
    std::string disk;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"CR LF", "a\r\nb\r\n", {"a\n", "b\n"}},
      {"LF only", "a\nb\n", {"a\n", "b\n"}},
      {"CR CR LF", "a\r\r\nb\n", {"a\r\n", "b\n"}},
      {"lone CR", "a\rb\r\n", {"a\rb\n"}},
      {"CR ending the file", "a\r", {"a\r"}},
      {"last line without LF", "a\r\nb", {"a\n", "b"}},
      {"0x1A in a line",
       "a\r\nb\x1A"
       "c\r\nd\r\n",
       {"a\n", "b"}},
      {"0x1A first",
       "\x1A"
       "abc",
       {}},
      {"empty", "", {}},
      {"code page 932 bytes", "\x83U\x83\x8B\r\n", {"\x83U\x83\x8B\n"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ReadLines(c.disk), c.lines);
  }
}

TEST_F(FileTest, LongLinesAreDeliveredIn259BytePieces) {
  const std::string line(300, 'x');
  const std::vector<std::string> lines = ReadLines(line + "\r\nnext\r\n");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], line.substr(0, 259));
  EXPECT_EQ(lines[1], line.substr(259) + "\n");
  EXPECT_EQ(lines[2], "next\n");
}

TEST_F(FileTest, CrAtTheEndOfABlockLooksOneByteAhead) {
  const std::string fill(4095, 'x');  // puts the next byte last in the first 4096-byte block
  struct Case {
    const char* name;
    std::string disk, text;
  };
  const Case cases[] = {
      {"LF in the next block", fill + "\r\ny\r\n", fill + "\ny\n"},
      {"no LF after it", fill + "\rz\r\n", fill + "\rz\n"},
      {"CR after it", fill + "\r\r\n", fill + "\r\n"},
      {"end of file after it", fill + "\r", fill + "\r"},
      {"0x1A after it",
       fill + "\r\x1A"
              "z",
       fill + "\r"},
      {"CR LF inside the block", fill.substr(1) + "\r\ny", fill.substr(1) + "\ny"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Joined(ReadLines(c.disk)), c.text);
  }
}

TEST_F(FileTest, EndOfFileLeavesTheBufferUntouched) {
  for (const std::string disk : {"a\r\n",
                                 "a\r\n\x1A"
                                 "b\r\n",
                                 ""}) {
    os.addFile(kPath, disk);
    CStdioFile file(os);
    ASSERT_TRUE(file.Open(kPath.c_str(), kReadText));
    char line[kLineSize];
    if (!disk.empty()) {
      ASSERT_NE(file.ReadString(line, kLineSize), nullptr);
    }
    for (int read = 0; read < 2; ++read) {
      std::memset(line, 0x55, sizeof line);
      EXPECT_EQ(file.ReadString(line, kLineSize), nullptr);
      EXPECT_EQ(std::string(line, sizeof line), std::string(sizeof line, '\x55'));
    }
  }
}

TEST_F(FileTest, ReadErrorRaisesAnException) {
  std::string disk;
  for (int i = 0; i < 600; ++i) disk += "line " + std::to_string(1000 + i) + "\r\n";
  os.addFile(kPath, disk);
  os.failReadAt(kPath, 5000);  // in the second 4096-byte block
  CStdioFile file(os);
  ASSERT_TRUE(file.Open(kPath.c_str(), kReadText));
  char line[kLineSize];
  int delivered = 0;
  EXPECT_THROW(while (file.ReadString(line, kLineSize) != nullptr)++ delivered, CFileException);
  EXPECT_EQ(delivered, 4096 / 11);  // the whole lines of the first block
  file.Close();
  EXPECT_TRUE(os.openHandles().empty());
}

TEST_F(FileTest, FailedCloseRaisesAndLeavesTheObjectClosed) {
  os.addFile(kPath, "data");
  os.failCloseOf(kPath);
  CStdioFile text(os);
  CFile binary(os);
  for (CFile* file : {static_cast<CFile*>(&text), &binary}) {
    ASSERT_TRUE(file->Open(kPath.c_str(), kReadBinary));
    EXPECT_THROW(file->Close(), CFileException);
    EXPECT_FALSE(file->IsOpen());
    EXPECT_STREQ(file->GetFilePath(), "");
    file->Close();  // closed: nothing happens
  }
  EXPECT_TRUE(os.openHandles().empty());
}

// --- Opens ---------------------------------------------------------------------------------------

TEST_F(FileTest, OpensForReadingOnly) {
  CStdioFile file(os);
  EXPECT_FALSE(file.Open(kPath.c_str(), kReadText)) << "reading needs an existing file";
  os.addFile(kPath, "old contents");
  CFile binary(os);
  ASSERT_TRUE(binary.Open(kPath.c_str(), kReadBinary));
  binary.Close();
  ASSERT_TRUE(file.Open(kPath.c_str(), kReadText)) << "an object opens again after a close";
  EXPECT_STREQ(file.GetFilePath(), kPath.c_str());
  EXPECT_FALSE(file.Open(kPath.c_str(), kReadText)) << "but not while open";
  EXPECT_TRUE(file.IsOpen());
  file.Close();
  // Each of the three opens that reached the file: for reading, exclusively, an existing file.
  EXPECT_EQ(os.callCount("CreateFileA " + kPath + " | access=0x80000000 share=0x0 disposition=3"),
            3);
}

// A refused open leaves the object closed and the file as it was. An open for writing or creating
// is refused before the file is touched.
TEST_F(FileTest, RefusedOpensLeaveTheObjectClosed) {
  struct Case {
    const char* name;
    void (*prepare)(SimulatedWindows&);
    unsigned flags;
  };
  const Case cases[] = {
      {"held open by another program", [](SimulatedWindows& m) { m.holdOpen(kPath); }, kReadText},
      {"for writing", [](SimulatedWindows&) {}, kWriteText},
      {"for reading and writing", [](SimulatedWindows&) {}, CFile::modeReadWrite},
      {"creating", [](SimulatedWindows&) {}, CFile::modeCreate},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimulatedWindows machine;
    machine.addFile(kPath, "kept");
    c.prepare(machine);
    CStdioFile file(machine);
    EXPECT_FALSE(file.Open(kPath.c_str(), c.flags));
    EXPECT_FALSE(file.IsOpen());
    EXPECT_STREQ(file.GetFilePath(), "");
    EXPECT_EQ(machine.fileBytes(kPath), "kept");
    EXPECT_TRUE(machine.openHandles().empty());
    EXPECT_EQ(machine.callCount("CreateFileA"), c.flags == kReadText ? 1 : 0);
  }
}

TEST_F(FileTest, DriveWithoutMediaFailsBeforeTheFileIsTouched) {
  os.addDrive('E', kDriveCdrom, false);
  CFile file(os);
  EXPECT_FALSE(file.Open("E:\\Games\\X\\ZRK_DLN.SD", kReadBinary));
  EXPECT_EQ(os.callCount("GetVolumeInformationA E:\\"), 1);
  EXPECT_EQ(os.callCount("CreateFileA"), 0);
}

TEST_F(FileTest, NamesTooLongFailBeforeTheFileIsTouched) {
  const std::string folder = "C:\\" + std::string(200, 'd') + "\\";
  const std::string name = std::string(259 - folder.size(), 'n');  // a full path of 259 bytes
  os.addFile(folder + name, "data");
  CFile file(os);
  EXPECT_FALSE(file.Open(std::string(260, 'n').c_str(), kReadBinary));
  EXPECT_EQ(os.callCount("GetFullPathNameA"), 0) << "a 260-byte name fails at once";

  os.setCurrentDirectoryPath(folder);
  EXPECT_TRUE(file.Open(name.c_str(), kReadBinary));
  file.Close();
  os.addFile(folder + name + "x", "data");
  EXPECT_FALSE(file.Open((name + "x").c_str(), kReadBinary)) << "a 260-byte full path";
  EXPECT_EQ(os.callCount("CreateFileA"), 1);
}

TEST_F(FileTest, StoredNameFollowsTheVolume) {
  struct Case {
    const char* name;
    std::uint32_t flags;  // of drive D
    std::string opened, stored;
  };
  const std::string onDisk = "D:\\Games\\DltZrk_DL.ini";
  const Case cases[] = {
      {"keeps case", kFsCasePreserved | kFsUnicodeOnDisk, "d:\\games\\dltzrk_dl.ini",
       "d:\\games\\dltzrk_dl.ini"},
      {"upper-cases", kFsUnicodeOnDisk, "d:\\games\\dltzrk_dl.ini", "D:\\GAMES\\DLTZRK_DL.INI"},
      {"takes the name on disk", kFsCasePreserved, "d:\\games\\dltzrk_dl.ini",
       "d:\\games\\DltZrk_DL.ini"},
      {"both", 0, "d:\\games\\dltzrk_dl.ini", "D:\\GAMES\\DltZrk_DL.ini"},
      {"collapses backslashes", kFsCasePreserved | kFsUnicodeOnDisk, "D:\\Games\\\\DltZrk_DL.ini",
       onDisk},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimulatedWindows machine;
    machine.addDrive('D', kDriveFixed, true, c.flags);
    machine.addFile(onDisk, "");
    CStdioFile file(machine);
    ASSERT_TRUE(file.Open(c.opened.c_str(), kReadText));
    EXPECT_STREQ(file.GetFilePath(), c.stored.c_str());
    EXPECT_EQ(machine.callCount("CreateFileA " + c.opened), 1) << "the caller's name";
  }
}

TEST_F(FileTest, NetworkShareNeedsNoVolumeQuery) {
  const std::string path = "\\\\server\\share\\x\\DLTZRK_DL.INI";
  os.addFile(path, "data");
  CFile file(os);
  ASSERT_TRUE(file.Open(path.c_str(), kReadBinary));
  EXPECT_STREQ(file.GetFilePath(), path.c_str());
  EXPECT_EQ(os.callCount("GetVolumeInformationA"), 0);
}

}  // namespace
